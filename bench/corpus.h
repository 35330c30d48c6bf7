// The files the benchmarks probe, made once under one directory and reused by
// later runs (a file is made only when missing).
#ifndef BENCH_CORPUS_H
#define BENCH_CORPUS_H

#include <cstdint>
#include <string>
#include <vector>

namespace qzbench {

struct Corpus {
    // Small media files of every container class: the test fixtures plus
    // variants in other sizes, lengths and codecs (about 55; 19 in a smoke run).
    std::vector<std::string> mixed;
    // One long, tiny, high-frame-rate video with `largeIndexEntries` index entries.
    std::string largeIndex;
    int64_t largeIndexEntries = 0;
    // A directory of `libraryFiles` small files, copies of `mixed`, in
    // subdirectories of 100 ("a media library").
    std::string library;
    std::vector<std::string> libraryPaths;  // in the order mprobe -r lists them
};

Corpus makeCorpus(const std::string &dir, bool smoke);

}  // namespace qzbench

#endif
