// The media_probe Python module: probe() and probe_many() over the static
// library, returning the description as plain dicts with the keys of
// `mprobe --json`, built from the same field table.
//
// Threads: every probe runs without the GIL. probe_many's workers are native
// threads that never touch a Python object: each fills a MediaContext of its
// own, and the thread iterating turns finished contexts into dicts, in input
// order, with the GIL held.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <sched.h>

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
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

unsigned probeFlags(bool index) {
    return index ? 0u : MEDIA_PROBE_NO_INDEX;
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
PyObject *outcome(PyObject *path, PyObject *pathBytes, Probed &probed, bool index, bool *failed) {
    *failed = false;
    if (!logNotes(pathBytes, probed.context, probed.notes)) return nullptr;
    if (probed.result == 0) return fullDescription(pathBytes, probed.context, index);
    *failed = true;
    if (probed.result == 1) {
        PyObject *description = partialDescription(pathBytes, probed.context, index);
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
    static const char *keywords[] = {"path", "index", nullptr};
    PyObject *path = nullptr;
    int index = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:probe", const_cast<char **>(keywords),
                                     &path, &index)) {
        return nullptr;
    }
    PyObject *pathBytes = encodePath(path);
    if (!pathBytes) return nullptr;
    const char *encoded = PyBytes_AS_STRING(pathBytes);
    Probed probed;
    Py_BEGIN_ALLOW_THREADS probeInto(encoded, probeFlags(index != 0), &probed);
    Py_END_ALLOW_THREADS
    bool failed = false;
    PyObject *result = outcome(path, pathBytes, probed, index != 0, &failed);
    Py_DECREF(pathBytes);
    if (result && failed) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(result)), result);
        Py_CLEAR(result);
    }
    return result;
}

// ---- probe_many() ------------------------------------------------------------

// One path of a batch on its way through the workers.
struct Job {
    PyObject *path = nullptr;       // the caller's object, owned
    PyObject *pathBytes = nullptr;  // its encoding, owned; NULL when it had none
    PyObject *badPath = nullptr;    // the exception for a path that has no encoding
    Probed probed;
    bool done = false;
};

// The iterator probe_many returns. The thread iterating feeds paths from the
// input, up to `window` ahead of the results; the workers probe them in any
// order; results come out in input order.
struct ProbeMany {
    PyObject_HEAD
    PyObject *input;  // iterator over the paths
    bool index;
    bool inputDone;
    PyObject *inputError;  // what the input raised, owned; raised after the last result
    size_t window;
    // Shared with the workers, under `lock`:
    std::mutex *lock;
    std::condition_variable *changed;
    std::deque<std::unique_ptr<Job>> *jobs;  // in input order, oldest first
    size_t nextToProbe;                       // position in *jobs of the next unclaimed job
    bool stopping;
    std::vector<std::thread> *workers;
};

void workerLoop(ProbeMany *self) {
    std::unique_lock<std::mutex> guard(*self->lock);
    for (;;) {
        self->changed->wait(guard, [&] {
            return self->stopping || self->nextToProbe < self->jobs->size();
        });
        if (self->stopping) return;
        Job *job = (*self->jobs)[self->nextToProbe++].get();
        if (job->done) continue;  // a path with no encoding: nothing to probe
        guard.unlock();
        probeInto(PyBytes_AS_STRING(job->pathBytes), probeFlags(self->index), &job->probed);
        guard.lock();
        job->done = true;
        self->changed->notify_all();
    }
}

// Takes paths from the input until the window is full. An exception the
// input raises is kept, to be raised once the paths before it are reported.
void feed(ProbeMany *self) {
    while (!self->inputDone) {
        {
            std::lock_guard<std::mutex> guard(*self->lock);
            if (self->jobs->size() >= self->window) return;
        }
        PyObject *path = PyIter_Next(self->input);
        if (!path) {
            self->inputDone = true;
            if (PyErr_Occurred()) self->inputError = takeRaised();
            return;
        }
        auto job = std::make_unique<Job>();
        job->path = path;
        job->pathBytes = encodePath(path);
        if (!job->pathBytes) {
            job->badPath = takeRaised();
            job->done = true;
        }
        std::lock_guard<std::mutex> guard(*self->lock);
        self->jobs->push_back(std::move(job));
        self->changed->notify_all();
    }
}

PyObject *probeManyNext(PyObject *object) {
    auto *self = reinterpret_cast<ProbeMany *>(object);
    feed(self);
    std::unique_ptr<Job> job;
    {
        std::unique_lock<std::mutex> guard(*self->lock);
        if (self->jobs->empty()) {
            if (self->inputError) {
                PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(self->inputError)),
                                self->inputError);
                Py_CLEAR(self->inputError);
            }
            return nullptr;  // StopIteration, or the input's own exception
        }
        Job *head = self->jobs->front().get();
        if (!head->done) {
            Py_BEGIN_ALLOW_THREADS self->changed->wait(guard, [&] { return head->done; });
            Py_END_ALLOW_THREADS
        }
        job = std::move(self->jobs->front());
        self->jobs->pop_front();
        if (self->nextToProbe > 0) --self->nextToProbe;
    }
    PyObject *result = job->badPath;
    job->badPath = nullptr;
    if (!result) {
        bool failed = false;
        result = outcome(job->path, job->pathBytes, job->probed, self->index, &failed);
    }
    PyObject *pair = result ? PyTuple_Pack(2, job->path, result) : nullptr;
    Py_XDECREF(result);
    Py_XDECREF(job->path);
    Py_XDECREF(job->pathBytes);
    return pair;
}

void stopWorkers(ProbeMany *self) {
    if (!self->workers) return;
    {
        std::lock_guard<std::mutex> guard(*self->lock);
        self->stopping = true;
    }
    self->changed->notify_all();
    Py_BEGIN_ALLOW_THREADS for (std::thread &t : *self->workers) t.join();
    Py_END_ALLOW_THREADS
}

void probeManyDealloc(PyObject *object) {
    auto *self = reinterpret_cast<ProbeMany *>(object);
    stopWorkers(self);
    if (self->jobs) {
        for (auto &job : *self->jobs) {
            Py_XDECREF(job->path);
            Py_XDECREF(job->pathBytes);
            Py_XDECREF(job->badPath);
        }
    }
    delete self->workers;
    delete self->jobs;
    delete self->changed;
    delete self->lock;
    Py_XDECREF(self->input);
    Py_XDECREF(self->inputError);
    PyTypeObject *type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyTypeObject *probeManyType = nullptr;

PyObject *probeMany(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"paths", "jobs", "index", nullptr};
    PyObject *paths = nullptr, *jobsArg = Py_None;
    int index = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$Op:probe_many",
                                     const_cast<char **>(keywords), &paths, &jobsArg, &index)) {
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
    auto *self = PyObject_New(ProbeMany, probeManyType);
    if (!self) {
        Py_DECREF(input);
        return nullptr;
    }
    self->input = input;
    self->index = index != 0;
    self->inputDone = false;
    self->inputError = nullptr;
    self->window = 8 * static_cast<size_t>(jobs);
    self->nextToProbe = 0;
    self->stopping = false;
    self->lock = new std::mutex;
    self->changed = new std::condition_variable;
    self->jobs = new std::deque<std::unique_ptr<Job>>;
    self->workers = new std::vector<std::thread>;
    for (unsigned t = 0; t < jobs; ++t) self->workers->emplace_back(workerLoop, self);
    return reinterpret_cast<PyObject *>(self);
}

// ---- the module --------------------------------------------------------------

PyDoc_STRVAR(probeDoc,
"probe(path, *, index=True) -> dict\n"
"\n"
"Describes the local media file `path` (str, bytes or os.PathLike).\n"
"\n"
"Returns a dict with the keys and values of `mprobe --json` for the file:\n"
"None for unknown values, each seek index entry as a tuple\n"
"(pos, timestamp, flags, size, min_distance), configuration bytes as bytes.\n"
"With index=False the seek indexes are left out.\n"
"\n"
"Raises an OSError subclass (FileNotFoundError, IsADirectoryError,\n"
"PermissionError, ...) when the file cannot be opened, NotMediaError when it\n"
"is not media the demuxer can read, MemoryError when memory runs out.\n"
"The GIL is released while the file is read.");

PyDoc_STRVAR(probeManyDoc,
"probe_many(paths, *, jobs=None, index=True) -> iterator of (path, result)\n"
"\n"
"Probes every path of the iterable `paths` on `jobs` native threads\n"
"(default: the number of CPUs this process may use) and yields\n"
"(path, result) pairs in input order. `result` is the dict probe() would\n"
"return, or the exception instance it would raise: nothing is raised for a\n"
"single file. Paths are taken from `paths` as results are consumed, a few\n"
"per thread ahead.");

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
        {0, nullptr},
    };
    static PyType_Spec probeManyShape = {"media_probe.ProbeMany", sizeof(ProbeMany), 0, Py_TPFLAGS_DEFAULT,
                               slots};
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
