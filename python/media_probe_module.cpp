// The media_probe Python module: probe() and probe_many() over the static
// library, returning the description as plain dicts with the keys of
// `mprobe --json`, built from the same field table.
//
// Threads: every probe runs without the GIL. probe_many's workers are native
// threads that never touch a Python object nor take the GIL: each fills a
// MediaContext of its own, and the thread whose next() claimed a position
// turns that position's finished context into a dict, with the GIL held.
// Lock order: the GIL, then a batch's lock; no thread takes the GIL while it
// holds a batch's lock, and waits for outcomes are made without the GIL.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "media_fields.h"
#include "media_probe.h"

namespace {

PyObject *notMediaError = nullptr;  // media_probe.NotMediaError
PyObject *logger = nullptr;         // logging.getLogger("media_probe")

// ---- notes -----------------------------------------------------------------

// The library hands its per-stream lines to the probing thread's collector;
// they are logged once the probe is over and the GIL is held again.
thread_local std::vector<std::string> *threadNotes = nullptr;

void collectNote(void *, const char *, const char *line) {
    if (threadNotes) threadNotes->emplace_back(line);
}

// Logs a probe's notes, attributed to the probed path, on the "media_probe"
// logger. Returns false with a Python error set when logging itself failed.
bool logNotes(PyObject *pathBytes, const MediaContext *context,
              const std::vector<std::string> &notes) {
    if (notes.empty() || !logger) return true;
    PyObject *path = PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(pathBytes),
                                                      PyBytes_GET_SIZE(pathBytes));
    if (!path) return false;
    bool logged = true;
    for (const std::string &stream : media_fields_note_streams(notes, context)) {
        PyObject *done = PyObject_CallMethod(logger, "info", "sOs", "%s: %s not described", path,
                                             stream.c_str());
        if (!done) {
            logged = false;
            break;
        }
        Py_DECREF(done);
    }
    Py_DECREF(path);
    return logged;
}

// ---- the description as Python objects --------------------------------------

// Builds nested dicts and lists from the field table's walk. Each begin
// pushes a container, each end pops it; values go into the container on top.
// Keys, like texts, come out of files (tag keys) and need not be UTF-8: both
// are decoded the same way, undecodable bytes becoming U+FFFD, so that two
// tag keys equal after that are one key (the last value, the first place).
struct PyBuilder {
    struct Level {
        PyObject *container;  // owned
        bool tags;            // an object of tags: its keys come from the file
    };
    std::vector<Level> stack;
    PyObject *root = nullptr;
    bool failed = false;

    PyBuilder() = default;
    PyBuilder(const PyBuilder &) = delete;
    PyBuilder &operator=(const PyBuilder &) = delete;
    ~PyBuilder() {
        for (const Level &level : stack) Py_DECREF(level.container);
        Py_XDECREF(root);
    }

    // Steals `value`.
    void put(const char *key, PyObject *value) {
        if (!value) failed = true;
        if (!value || failed || stack.empty()) {
            Py_XDECREF(value);
            return;
        }
        const Level &top = stack.back();
        int status;
        if (PyList_Check(top.container)) {
            status = PyList_Append(top.container, value);
        } else {
            PyObject *name = keyObject(key ? key : "", top.tags);
            status = name ? PyDict_SetItem(top.container, name, value) : -1;
            Py_XDECREF(name);
        }
        Py_DECREF(value);
        if (status < 0) failed = true;
    }
    // Steals `container`.
    void open(const char *key, PyObject *container) {
        if (!container) {
            failed = true;
            return;
        }
        const bool tags = !stack.empty() && PyDict_Check(container) &&
                          PyDict_Check(stack.back().container) && key && strcmp(key, "tags") == 0;
        if (!stack.empty()) {
            Py_INCREF(container);
            put(key, container);
        }
        stack.push_back({container, tags});
    }
    void close() {
        if (stack.empty()) return;
        PyObject *done = stack.back().container;
        stack.pop_back();
        if (stack.empty()) {
            Py_XDECREF(root);
            root = done;
        } else {
            Py_DECREF(done);
        }
    }

    // A key as a str. The field table's own keys are interned, as dict
    // literals' are; a file's tag keys are not, so that no file can add to
    // the interpreter's interned strings.
    static PyObject *keyObject(const char *key, bool fromFile) {
        PyObject *name = PyUnicode_DecodeUTF8(key, static_cast<Py_ssize_t>(strlen(key)), "replace");
        if (name && !fromFile) PyUnicode_InternInPlace(&name);
        return name;
    }
};

PyBuilder &builder(void *opaque) {
    return *static_cast<PyBuilder *>(opaque);
}

// Texts come from files and need not be UTF-8: undecodable bytes become
// U+FFFD, as in mprobe's JSON.
PyObject *decodedText(const char *text) {
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(strlen(text)), "replace");
}

MediaFieldSink pySink(PyBuilder *b) {
    MediaFieldSink sink{};
    sink.opaque = b;
    sink.begin_object = [](void *o, const char *key, const char *) {
        builder(o).open(key, PyDict_New());
    };
    sink.begin_array = [](void *o, const char *key) { builder(o).open(key, PyList_New(0)); };
    sink.end_object = sink.end_array = [](void *o) { builder(o).close(); };
    sink.integer = [](void *o, const char *key, int64_t v, const MediaFieldHint *) {
        builder(o).put(key, PyLong_FromLongLong(v));
    };
    sink.unsigned_integer = [](void *o, const char *key, uint64_t v, const MediaFieldHint *) {
        builder(o).put(key, PyLong_FromUnsignedLongLong(v));
    };
    // As in JSON, which has no NaN or infinity: None.
    sink.real = [](void *o, const char *key, double v, const MediaFieldHint *) {
        builder(o).put(key, std::isfinite(v) ? PyFloat_FromDouble(v) : Py_NewRef(Py_None));
    };
    sink.text = [](void *o, const char *key, const char *v, const MediaFieldHint *) {
        builder(o).put(key, decodedText(v));
    };
    sink.null = [](void *o, const char *key, const MediaFieldHint *) {
        builder(o).put(key, Py_NewRef(Py_None));
    };
    sink.bytes = [](void *o, const char *key, const uint8_t *bytes, size_t size,
                    const MediaFieldHint *) {
        builder(o).put(key, PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes),
                                                      static_cast<Py_ssize_t>(size)));
    };
    sink.index_entry = [](void *o, const StreamEntry *e) {
        builder(o).put(nullptr, Py_BuildValue("(LLiii)", static_cast<long long>(e->pos),
                                              static_cast<long long>(e->timestamp),
                                              static_cast<int>(e->flags),
                                              static_cast<int>(e->size), e->min_distance));
    };
    return sink;
}

// The description in `context` as a new dict; NULL with a Python error set.
PyObject *describe(const MediaContext *context, bool index) {
    PyBuilder b;
    const MediaFieldSink sink = pySink(&b);
    const MediaFieldOptions options{index};
    media_fields_describe(context, &sink, &options);
    if (b.failed || !b.root) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    PyObject *root = b.root;
    b.root = nullptr;
    return root;
}

// The ffprobe document of `context` (MEDIA_PROBE_JSON_FFPROBE) as a new
// dict, through json.loads: strings, ints, dicts and lists, keys in
// ffprobe's order. NULL with a Python error set.
PyObject *ffprobeDocument(const MediaContext *context) {
    char *text = media_probe_json(context, MEDIA_PROBE_JSON_FFPROBE);
    if (!text) return PyErr_NoMemory();
    PyObject *json = PyImport_ImportModule("json");
    PyObject *loads = json ? PyObject_GetAttrString(json, "loads") : nullptr;
    PyObject *unicode =
        loads ? PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(strlen(text)), "replace")
              : nullptr;
    media_probe_free_json(text);
    PyObject *document = unicode ? PyObject_CallOneArg(loads, unicode) : nullptr;
    Py_XDECREF(unicode);
    Py_XDECREF(loads);
    Py_XDECREF(json);
    return document;
}

// What a result holds: the description (with or without the seek indexes)
// or ffprobe's document.
struct Shape {
    bool index = true;
    bool ffprobe = false;
};

// ---- one probe ---------------------------------------------------------------

// What a probe left: the context (owned), its result, errno and notes.
struct Probed {
    MediaContext *context = nullptr;
    int result = -1;
    int error = 0;
    std::vector<std::string> notes;

    Probed() = default;
    Probed(const Probed &) = delete;
    Probed &operator=(const Probed &) = delete;
    ~Probed() { free_media_context(context); }
};

unsigned probeFlags(const Shape &shape, bool scan) {
    const bool index = shape.index && !shape.ffprobe;  // ffprobe's document holds none
    return (index ? 0u : MEDIA_PROBE_NO_INDEX) | (scan ? MEDIA_PROBE_SCAN : 0u);
}

// The flags' keywords as a Shape; false with ValueError set for scan with
// ffprobe.
bool shapeOf(int index, int scan, int ffprobe, Shape *shape) {
    if (scan && ffprobe) {
        PyErr_SetString(PyExc_ValueError,
                        "scan=True and ffprobe=True cannot be used together: ffprobe's document "
                        "holds no scan");
        return false;
    }
    shape->index = index != 0;
    shape->ffprobe = ffprobe != 0;
    return true;
}

// Probes `path` into `out`, whose context is already made (NULL when it
// could not be). Runs without the GIL.
void runProbe(const char *path, unsigned flags, Probed *out) {
    if (!out->context) {
        out->result = -1;
        return;
    }
    threadNotes = &out->notes;
    out->result = media_probe_file(out->context, path, flags);
    out->error = errno;
    threadNotes = nullptr;
}

// runProbe on a context of its own.
void probeInto(const char *path, unsigned flags, Probed *out) {
    out->context = create_media_context();
    runProbe(path, flags, out);
}

// The memory a probe's outcome holds, about: its context, as mprobe counts
// it, and its notes.
size_t heldBytes(const Probed &probed) {
    size_t bytes = sizeof probed + media_fields_held_bytes(probed.context);
    for (const std::string &note : probed.notes) bytes += sizeof note + note.size();
    return bytes;
}

// 1 when `pathBytes` is UTF-8, 0 when not, -1 with an error set.
int isUtf8(PyObject *pathBytes) {
    PyObject *text =
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(pathBytes), PyBytes_GET_SIZE(pathBytes), "strict");
    if (text) {
        Py_DECREF(text);
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return -1;
    PyErr_Clear();
    return 0;
}

// A path that is not UTF-8 reads as "filename" only with U+FFFD in place of
// the undecodable bytes: its raw bytes follow it as "filename_bytes", as in
// mprobe's JSON. Puts them right after "filename" in `description` unless
// they are there already (the field walk gives them where the context holds
// the path). 0, or -1 with an error set.
int addFilenameBytes(PyObject *description, PyObject *pathBytes) {
    const int utf8 = isUtf8(pathBytes);
    if (utf8 != 0) return utf8 > 0 ? 0 : -1;
    PyObject *key = PyUnicode_InternFromString("filename_bytes");
    if (!key) return -1;
    int status = PyDict_Contains(description, key);
    if (status != 0) {
        Py_DECREF(key);
        return status > 0 ? 0 : -1;
    }
    // A dict keeps the order keys were first set in: set them all again.
    PyObject *items = PyDict_Items(description);
    if (!items) {
        Py_DECREF(key);
        return -1;
    }
    PyDict_Clear(description);
    bool placed = false;
    for (Py_ssize_t i = 0; status == 0 && i < PyList_GET_SIZE(items); ++i) {
        PyObject *item = PyList_GET_ITEM(items, i);
        PyObject *name = PyTuple_GET_ITEM(item, 0);
        status = PyDict_SetItem(description, name, PyTuple_GET_ITEM(item, 1));
        if (status == 0 && !placed && PyUnicode_Check(name) &&
            PyUnicode_CompareWithASCIIString(name, "filename") == 0) {
            status = PyDict_SetItem(description, key, pathBytes);
            placed = true;
        }
    }
    if (status == 0 && !placed) status = PyDict_SetItem(description, key, pathBytes);
    Py_DECREF(items);
    Py_DECREF(key);
    return status;
}

// What a probe that returned 1 read of the file, as a new dict: the fields
// set so far, "result" 1 and the probed path as "filename" (and
// "filename_bytes") even where the demuxer did not open the file.
PyObject *partialDescription(PyObject *pathBytes, const MediaContext *context, bool index) {
    PyObject *description = describe(context, index);
    PyObject *result = PyLong_FromLong(1);
    int status = description && result ? PyDict_SetItemString(description, "result", result) : -1;
    Py_XDECREF(result);
    if (status == 0 && !context->filename) {
        PyObject *name = decodedText(PyBytes_AS_STRING(pathBytes));
        status = name ? PyDict_SetItemString(description, "filename", name) : -1;
        Py_XDECREF(name);
    }
    if (status == 0) status = addFilenameBytes(description, pathBytes);
    if (status < 0) Py_CLEAR(description);
    return description;
}

// A successful probe's description as a new dict.
PyObject *fullDescription(PyObject *pathBytes, const MediaContext *context, bool index) {
    PyObject *description = describe(context, index);
    if (description && addFilenameBytes(description, pathBytes) < 0) Py_CLEAR(description);
    return description;
}

// NotMediaError(message) with .filename, .error_text and .description
// (steals `description`); NULL with an error set when it cannot be made.
PyObject *notMedia(PyObject *path, const char *why, PyObject *description) {
    PyObject *error = nullptr;
    PyObject *message = PyUnicode_FromFormat("%s: %R", why, path);
    PyObject *text = PyUnicode_DecodeUTF8(why, static_cast<Py_ssize_t>(strlen(why)), "replace");
    if (message && text) error = PyObject_CallOneArg(notMediaError, message);
    if (error && (PyObject_SetAttrString(error, "filename", path) < 0 ||
                  PyObject_SetAttrString(error, "error_text", text) < 0 ||
                  PyObject_SetAttrString(error, "description", description) < 0)) {
        Py_CLEAR(error);
    }
    Py_XDECREF(message);
    Py_XDECREF(text);
    Py_DECREF(description);
    return error;
}

// The exception being raised, taken out of the error indicator.
PyObject *takeRaised() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// The outcome of a finished probe of `path` (the caller's object) as a new
// reference: the description dict with *failed false, or the exception
// instance with *failed true. NULL (an error set) only when neither could be
// made, e.g. out of memory.
// With shape.ffprobe the dict is ffprobe's document, and a NotMediaError's
// description ffprobe's document of a file it cannot read ({}).
PyObject *outcome(PyObject *path, PyObject *pathBytes, Probed &probed, const Shape &shape,
                  bool *failed) {
    *failed = false;
    if (!logNotes(pathBytes, probed.context, probed.notes)) return nullptr;
    if (probed.result == 0) {
        return shape.ffprobe ? ffprobeDocument(probed.context)
                             : fullDescription(pathBytes, probed.context, shape.index);
    }
    *failed = true;
    if (probed.result == 1) {
        PyObject *description = shape.ffprobe
                                    ? ffprobeDocument(probed.context)
                                    : partialDescription(pathBytes, probed.context, shape.index);
        if (!description) return nullptr;
        const char *why = probed.context->error_text ? probed.context->error_text
                                                     : media_probe_result_text(1);
        return notMedia(path, why, description);
    }
    if (probed.result == -2) {
        errno = probed.error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    } else {
        PyErr_NoMemory();
    }
    return takeRaised();
}

// os.fspath(path) encoded with the file system encoding, as bytes.
PyObject *encodePath(PyObject *path) {
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) return nullptr;
    return encoded;
}

unsigned cpuCount() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
    unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

// ---- probe() ---------------------------------------------------------------

PyObject *probe(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"path", "index", "scan", "ffprobe", nullptr};
    PyObject *path = nullptr;
    int index = 1, scan = 0, ffprobe = 0;
    Shape shape;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$ppp:probe", const_cast<char **>(keywords),
                                     &path, &index, &scan, &ffprobe) ||
        !shapeOf(index, scan, ffprobe, &shape)) {
        return nullptr;
    }
    PyObject *pathBytes = encodePath(path);
    if (!pathBytes) return nullptr;
    const char *encoded = PyBytes_AS_STRING(pathBytes);
    Probed probed;
    Py_BEGIN_ALLOW_THREADS probeInto(encoded, probeFlags(shape, scan != 0), &probed);
    Py_END_ALLOW_THREADS
    bool failed = false;
    PyObject *result = outcome(path, pathBytes, probed, shape, &failed);
    Py_DECREF(pathBytes);
    if (result && failed) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(result)), result);
        Py_CLEAR(result);
    }
    return result;
}

// ---- probe_many() ------------------------------------------------------------

// Finished outcomes waiting to be taken may hold this much (their index
// copies, mostly) before the workers take another path, as in mprobe: with
// the one each worker may finish beyond it, that bounds what a slow consumer
// makes a batch hold.
constexpr size_t kHeldLimit = size_t{256} << 20;

// How long next() waits for an outcome between two looks at the signals.
constexpr std::chrono::milliseconds kWaitSlice{50};

// One path of a batch as the workers see it: no Python object in it.
struct Job {
    std::string path;   // the encoded path
    bool probe = true;  // false: the path has no encoding, there is nothing to probe
    bool done = false;
    std::unique_ptr<Probed> probed;  // once done; NULL when memory ran out
    size_t bytes = 0;                // its heldBytes, in Batch::held until taken
};

// What probe_many's workers share with its iterator. Each of them holds a
// shared_ptr and the last to let go frees it: dropping the iterator stops
// the workers and cancels their probes, but waits for none of them. Nothing
// here is a Python object, so a worker may free it without the GIL.
struct Batch {
    std::mutex lock;                  // guards all below; never held while the GIL is taken
    std::condition_variable changed;  // a path fed or probed, an outcome taken, the end
    std::map<size_t, Job> jobs;       // fed and not yet taken, by position in the input
    size_t fed = 0;                   // positions taken from the input so far
    size_t nextToProbe = 0;
    size_t held = 0;  // bytes of the finished jobs not yet taken
    bool inputEnded = false;
    bool stopping = false;
    unsigned flags = 0;                   // set before the workers start
    std::vector<MediaContext *> running;  // being probed; room for one a worker

    // Under `lock`.
    void stop() {
        stopping = true;
        for (MediaContext *context : running) media_probe_cancel(context);
        changed.notify_all();
    }
};

void stopBatch(Batch &batch) {
    std::lock_guard<std::mutex> guard(batch.lock);
    batch.stop();
}

// Probes the jobs in input order, one at a time, while the finished ones
// hold no more than kHeldLimit; ends when the batch stops or the input ended
// and every job was taken up.
// The name of probe_many's worker threads (at most 15 characters).
constexpr char kWorkerName[] = "media_probe";

void workerLoop(const std::shared_ptr<Batch> batch) {
    // Named, so that a process listing (ps -L, /proc/PID/task/*/comm) tells
    // the workers from the interpreter's own threads.
    pthread_setname_np(pthread_self(), kWorkerName);
    Batch &b = *batch;
    std::unique_lock<std::mutex> guard(b.lock);
    for (;;) {
        b.changed.wait(guard, [&] {
            return b.stopping || (b.inputEnded && b.nextToProbe >= b.fed) ||
                   (b.nextToProbe < b.fed && b.held <= kHeldLimit);
        });
        if (b.stopping || b.nextToProbe >= b.fed) return;
        const size_t position = b.nextToProbe++;
        auto job = b.jobs.find(position);
        if (job == b.jobs.end() || !job->second.probe) continue;
        // A job leaves `jobs` only once done: its path stays put meanwhile.
        const char *path = job->second.path.c_str();
        guard.unlock();
        std::unique_ptr<Probed> probed(new (std::nothrow) Probed);
        if (probed) probed->context = create_media_context();
        guard.lock();
        if (probed && probed->context && !b.stopping) {
            b.running.push_back(probed->context);  // within the room reserved
            guard.unlock();
            runProbe(path, b.flags, probed.get());
            guard.lock();
            b.running.erase(std::find(b.running.begin(), b.running.end(), probed->context));
        } else if (probed) {
            probed->result = -1;
        }
        job = b.jobs.find(position);
        job->second.bytes = probed ? heldBytes(*probed) : 0;
        job->second.probed = std::move(probed);
        job->second.done = true;
        b.held += job->second.bytes;
        b.changed.notify_all();
    }
}

// The Python objects of one fed path, until its outcome is taken; owned.
struct Pending {
    PyObject *path = nullptr;       // the caller's object
    PyObject *pathBytes = nullptr;  // its encoding; NULL when it has none
    PyObject *badPath = nullptr;    // then what encoding it raised
};

void releasePending(Pending &pending) {
    Py_CLEAR(pending.path);
    Py_CLEAR(pending.pathBytes);
    Py_CLEAR(pending.badPath);
}

// The iterator's side, used with the GIL held only. Positions are claimed
// by next() calls in order, each call waiting for the outcome of its own:
// several threads can share one iterator.
struct IterState {
    std::shared_ptr<Batch> batch;
    PyObject *input = nullptr;       // iterator over the paths; NULL once it ended
    PyObject *inputError = nullptr;  // what it raised, for the position after its paths
    std::map<size_t, Pending> pending;
    size_t fed = 0;
    size_t claimed = 0;
    size_t window = 0;  // paths taken from the input ahead of the claims
    Shape shape;
    bool closed = false;  // interrupted: no more outcomes
    bool feeding = false;
    unsigned long feeder = 0;  // the thread feeding, while one is
};

// The iterator probe_many returns.
struct ProbeMany {
    PyObject_HEAD
    IterState *state;  // NULL once cleared
};

// Ends the iterator after an interrupt: stops the workers, cancels their
// probes; further next() calls end the iteration.
void closeIterator(IterState *s) {
    s->closed = true;
    stopBatch(*s->batch);
}

void endInput(IterState *s) {
    Py_CLEAR(s->input);
    std::lock_guard<std::mutex> guard(s->batch->lock);
    s->batch->inputEnded = true;
    s->batch->changed.notify_all();
}

// Takes paths from the input until `window` are ahead of the claims or the
// input ends; one thread at a time, since the input may let others run. An
// Exception the input raises is kept for the position after its paths; a
// BaseException that is not one (KeyboardInterrupt, SystemExit) closes the
// iterator and is raised at once. Returns false with an error set then.
bool feed(ProbeMany *self) {
    IterState *s = self->state;
    s->feeding = true;
    s->feeder = PyThread_get_thread_ident();
    bool ok = true;
    while (s->input && !s->closed && s->fed < s->claimed + s->window) {
        PyObject *input = Py_NewRef(s->input);
        PyObject *path = PyIter_Next(input);
        Py_DECREF(input);
        if (!path) {
            if (PyErr_Occurred()) {
                if (PyErr_ExceptionMatches(PyExc_Exception)) {
                    s->inputError = takeRaised();
                } else {
                    ok = false;
                }
            }
            endInput(s);
            break;
        }
        if (s->closed) {
            Py_DECREF(path);
            break;
        }
        Pending pending;
        pending.path = path;
        pending.pathBytes = encodePath(path);
        if (!pending.pathBytes) pending.badPath = takeRaised();
        const size_t position = s->fed;
        try {
            Job job;
            job.probe = pending.pathBytes != nullptr;
            job.done = !job.probe;
            if (job.probe) {
                job.path.assign(PyBytes_AS_STRING(pending.pathBytes),
                                static_cast<size_t>(PyBytes_GET_SIZE(pending.pathBytes)));
            }
            s->pending.emplace(position, pending);
            std::lock_guard<std::mutex> guard(s->batch->lock);
            s->batch->jobs.emplace(position, std::move(job));
            s->batch->fed = ++s->fed;
            s->batch->changed.notify_all();
        } catch (const std::bad_alloc &) {
            s->pending.erase(position);  // a copy of `pending`, if it got in
            releasePending(pending);
            PyErr_NoMemory();
            ok = false;
            break;
        }
    }
    s->feeding = false;
    if (!ok) closeIterator(s);
    return ok;
}

// The job at `position` taken out of the batch once it is done.
struct Taken {
    bool ready = false;
    bool ended = false;  // no such position: the input ended before it
    std::unique_ptr<Probed> probed;
};

Taken take(Batch &b, size_t position) {
    Taken taken;
    std::lock_guard<std::mutex> guard(b.lock);
    auto job = b.jobs.find(position);
    if (job != b.jobs.end()) {
        if (!job->second.done) return taken;
        taken.ready = true;
        taken.probed = std::move(job->second.probed);
        b.held -= job->second.bytes;
        b.jobs.erase(job);
        b.changed.notify_all();  // a worker held back by the limit may go on
    } else {
        taken.ended = b.inputEnded && position >= b.fed;
    }
    return taken;
}

// Waits a slice at most for the job at `position` to be done, the input to
// end before it, or the batch to stop. Called without the GIL.
void waitSlice(Batch &b, size_t position) {
    std::unique_lock<std::mutex> guard(b.lock);
    b.changed.wait_for(guard, kWaitSlice, [&] {
        auto job = b.jobs.find(position);
        if (job != b.jobs.end()) return b.stopping || job->second.done;
        return b.stopping || b.inputEnded;
    });
}

// The (path, result) pair of the job at `position`, its Python objects
// released.
PyObject *pairFor(IterState *s, size_t position, std::unique_ptr<Probed> probed) {
    auto found = s->pending.find(position);
    Pending pending = found->second;
    s->pending.erase(found);
    const Shape shape = s->shape;
    PyObject *result = pending.badPath;
    pending.badPath = nullptr;
    if (!result) {
        Probed noMemory;  // result -1
        bool failed = false;
        result =
            outcome(pending.path, pending.pathBytes, probed ? *probed : noMemory, shape, &failed);
    }
    PyObject *pair = result ? PyTuple_Pack(2, pending.path, result) : nullptr;
    Py_XDECREF(result);
    probed.reset();
    releasePending(pending);
    return pair;
}

PyObject *probeManyNext(PyObject *object) {
    auto *self = reinterpret_cast<ProbeMany *>(object);
    IterState *s = self->state;
    if (!s || s->closed) return nullptr;
    if (s->feeding && s->feeder == PyThread_get_thread_ident()) {
        PyErr_SetString(PyExc_RuntimeError, "probe_many iterator used by its own input");
        return nullptr;
    }
    const std::shared_ptr<Batch> batch = s->batch;
    const size_t position = s->claimed++;
    for (;;) {
        // Other threads run while this one waits, and while the input runs.
        if ((s = self->state) == nullptr || s->closed) return nullptr;
        if (!s->feeding && s->input && !feed(self)) return nullptr;
        if ((s = self->state) == nullptr || s->closed) return nullptr;
        Taken taken = take(*batch, position);
        if (taken.ready) return pairFor(s, position, std::move(taken.probed));
        if (taken.ended) {
            if (position == s->fed && s->inputError) {
                PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(s->inputError)),
                                s->inputError);
                Py_CLEAR(s->inputError);
            }
            return nullptr;  // StopIteration, or the input's own exception
        }
        Py_BEGIN_ALLOW_THREADS waitSlice(*batch, position);
        Py_END_ALLOW_THREADS
        // KeyboardInterrupt, or what a signal handler raised:
        if (PyErr_CheckSignals() < 0) {
            if ((s = self->state) != nullptr) closeIterator(s);
            return nullptr;
        }
    }
}

int probeManyTraverse(PyObject *object, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(object));
    const IterState *s = reinterpret_cast<ProbeMany *>(object)->state;
    if (!s) return 0;
    Py_VISIT(s->input);
    Py_VISIT(s->inputError);
    for (const auto &item : s->pending) {
        Py_VISIT(item.second.path);
        Py_VISIT(item.second.badPath);
    }
    return 0;
}

// Stops the workers (without waiting for them) and drops every Python
// object the iterator holds; it then ends the iteration.
int probeManyClear(PyObject *object) {
    auto *self = reinterpret_cast<ProbeMany *>(object);
    std::unique_ptr<IterState> s(self->state);
    if (!s) return 0;
    self->state = nullptr;
    stopBatch(*s->batch);
    Py_CLEAR(s->input);
    Py_CLEAR(s->inputError);
    std::map<size_t, Pending> pending;
    pending.swap(s->pending);
    for (auto &item : pending) releasePending(item.second);
    return 0;
}

void probeManyDealloc(PyObject *object) {
    PyObject_GC_UnTrack(object);
    probeManyClear(object);
    PyTypeObject *type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyTypeObject *probeManyType = nullptr;

PyObject *probeMany(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"paths", "jobs", "index", "scan", "ffprobe", nullptr};
    PyObject *paths = nullptr, *jobsArg = Py_None;
    int index = 1, scan = 0, ffprobe = 0;
    Shape shape;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$Oppp:probe_many",
                                     const_cast<char **>(keywords), &paths, &jobsArg, &index, &scan,
                                     &ffprobe) ||
        !shapeOf(index, scan, ffprobe, &shape)) {
        return nullptr;
    }
    unsigned jobs = cpuCount();
    if (jobsArg != Py_None) {
        long value = PyLong_AsLong(jobsArg);
        if (value == -1 && PyErr_Occurred()) return nullptr;
        if (value < 1 || value > 1024) {
            PyErr_SetString(PyExc_ValueError, "jobs must be from 1 to 1024");
            return nullptr;
        }
        jobs = static_cast<unsigned>(value);
    }
    PyObject *input = PyObject_GetIter(paths);
    if (!input) return nullptr;
    auto *self = PyObject_GC_New(ProbeMany, probeManyType);
    if (!self) {
        Py_DECREF(input);
        return nullptr;
    }
    self->state = nullptr;
    std::shared_ptr<Batch> batch;
    try {
        auto state = std::make_unique<IterState>();
        batch = state->batch = std::make_shared<Batch>();
        batch->flags = probeFlags(shape, scan != 0);
        batch->running.reserve(jobs);
        state->input = input;
        input = nullptr;
        state->shape = shape;
        state->window = 8 * static_cast<size_t>(jobs);
        self->state = state.release();
    } catch (const std::bad_alloc &) {
        Py_XDECREF(input);
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    unsigned started = 0;
    for (; started < jobs; ++started) {
        try {
            std::thread(workerLoop, batch).detach();
        } catch (const std::system_error &) {
            break;  // as many as the system allows
        }
    }
    if (started == 0) {
        Py_DECREF(self);
        PyErr_SetString(PyExc_RuntimeError, "probe_many: no thread could be started");
        return nullptr;
    }
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject *>(self);
}

// ---- the module --------------------------------------------------------------

PyDoc_STRVAR(probeDoc,
"probe(path, *, index=True, scan=False, ffprobe=False) -> dict\n"
"\n"
"Describes the local media file `path` (str, bytes or os.PathLike).\n"
"\n"
"Returns a dict with the keys and values of `mprobe --json` for the file:\n"
"None for unknown values, each seek index entry as a tuple\n"
"(pos, timestamp, flags, size, min_distance), configuration bytes as bytes.\n"
"With index=False the seek indexes are neither copied nor returned\n"
"(each entry costs about 165 bytes as Python objects), nor are a scan's\n"
"keyframes (their count stays).\n"
"With scan=True every packet of the file is read, without decoding, and\n"
"each stream gets a \"scan\" dict: exact packet counts and sizes, its\n"
"true start and duration, every keyframe (video) as an index tuple, the\n"
"frame rate range and whether it varies (\"vfr\").\n"
"With ffprobe=True the dict is instead the document `ffprobe -of json\n"
"-show_format -show_streams -show_chapters -show_programs` gives (what\n"
"`mprobe --ffprobe-json` prints): strings, ints, dicts and lists, in\n"
"ffprobe's key order; index does not apply, and scan cannot be combined.\n"
"\n"
"Raises an OSError subclass (FileNotFoundError, IsADirectoryError,\n"
"PermissionError, ...) when the file cannot be opened, NotMediaError when it\n"
"is not media the demuxer can read, MemoryError when memory runs out.\n"
"The GIL is released while the file is read.");

PyDoc_STRVAR(probeManyDoc,
"probe_many(paths, *, jobs=None, index=True, scan=False, ffprobe=False)\n"
"    -> iterator of (path, result)\n"
"\n"
"Probes every path of the iterable `paths` on `jobs` native threads\n"
"(default: the number of CPUs this process may use) and yields\n"
"(path, result) pairs in input order. `result` is the dict probe() would\n"
"return (index, scan and ffprobe as for probe()),\n"
"or the exception instance it would raise: nothing is raised for a\n"
"single file. Paths are taken from `paths` as results are consumed, a few\n"
"per thread ahead; the threads take no new path while the results waiting\n"
"to be consumed hold more than 256 MiB.\n"
"\n"
"Several threads may share the iterator: each next() gets the result of the\n"
"next position. KeyboardInterrupt (or any exception a signal handler raises)\n"
"while next() waits ends the iterator: the probes under way are cancelled\n"
"and further next() calls raise StopIteration. Dropping the iterator cancels\n"
"them too, without waiting for them.");

PyDoc_STRVAR(moduleDoc,
"Describes media files: container, streams, codec parameters, seek index.\n"
"\n"
"probe(path) describes one file; probe_many(paths) describes many on native\n"
"threads. The descriptions are plain dicts (json.dumps and pickle take\n"
"them), with the keys of `mprobe --json`. Notes about streams the\n"
"description does not cover go to the logging module's \"media_probe\"\n"
"logger at level INFO, as \"PATH: text\". Importing the module silences\n"
"FFmpeg's own log messages (av_log_set_level(AV_LOG_QUIET)).");

PyMethodDef methods[] = {
    {"probe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe)),
     METH_VARARGS | METH_KEYWORDS, probeDoc},
    {"probe_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probeMany)),
     METH_VARARGS | METH_KEYWORDS, probeManyDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "media_probe", moduleDoc, -1, methods,
                         nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_media_probe(void) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char *>("The iterator probe_many() returns.")},
        {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void *>(probeManyNext)},
        {Py_tp_dealloc, reinterpret_cast<void *>(probeManyDealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(probeManyTraverse)},
        {Py_tp_clear, reinterpret_cast<void *>(probeManyClear)},
        {0, nullptr},
    };
    static PyType_Spec probeManyShape = {"media_probe.ProbeMany", sizeof(ProbeMany), 0,
                                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    probeManyType = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&probeManyShape));
    if (!probeManyType) return nullptr;

    PyObject *module = PyModule_Create(&moduleDef);
    if (!module) return nullptr;
    notMediaError = PyErr_NewExceptionWithDoc(
        "media_probe.NotMediaError",
        "The file is not media the demuxer can read. Attributes: filename,\n"
        "error_text (the demuxer's reason) and description (what was read).",
        PyExc_ValueError, nullptr);
    PyObject *logging = PyImport_ImportModule("logging");
    if (logging) {
        logger = PyObject_CallMethod(logging, "getLogger", "s", "media_probe");
        Py_DECREF(logging);
    }
    if (!notMediaError || !logger ||
        PyModule_AddObjectRef(module, "NotMediaError", notMediaError) < 0 ||
        PyModule_AddStringConstant(module, "__version__", media_probe_version()) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    media_probe_set_note_handler(collectNote, nullptr);
    // The demuxer's own messages about damaged files would land on the
    // process's standard error; the results say what went wrong.
    av_log_set_level(AV_LOG_QUIET);
    return module;
}
