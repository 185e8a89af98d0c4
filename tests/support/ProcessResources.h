#pragma once

#include <QDir>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTRAP_TEST_SANITIZED_HEAP 1
// The sanitizers' runtimes serve their allocator's figures; GCC ships no header for them.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

// What a long-running process holds, for tests that repeat something many times and expect
// it to give back all it took.
struct ProcessResources {
    int threads = 0;
    int descriptors = 0;
    std::int64_t heapBytes = 0;  // bytes handed out by malloc and not freed
    std::int64_t rssBytes = 0;

    static ProcessResources now()
    {
        ProcessResources r;
        r.threads = int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
        r.descriptors
            = int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::NoDotAndDotDot).size());
#ifdef KESTRAP_TEST_SANITIZED_HEAP
        r.heapBytes = std::int64_t(__sanitizer_get_current_allocated_bytes());
#else
        r.heapBytes = std::int64_t(mallinfo2().uordblks);
#endif
        if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
            long pages = 0;
            long resident = 0;
            if (std::fscanf(statm, "%ld %ld", &pages, &resident) == 2)
                r.rssBytes = std::int64_t(resident) * 4096;
            std::fclose(statm);
        }
        return r;
    }
};
