// Runs the fast clustering and the straightforward one of the tests on a
// count table and reports whether their files are identical.
//
// usage: cluster_compare TABLE [-f] [-s] [-a]   (-a implies -s)
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "../tests/unit/cluster_reference.cpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s TABLE [-f] [-s] [-a]\n", argv[0]);
        return 2;
    }
    cluster_settings settings;
    bool stats = false, alignments = false;
    for (int k = 2; k < argc; ++k) {
        if (std::strcmp(argv[k], "-f") == 0) settings.single_flag = true;
        if (std::strcmp(argv[k], "-s") == 0) stats = true;
        if (std::strcmp(argv[k], "-a") == 0) stats = alignments = true;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    reference_outputs fast = fast_cluster(text.str(), settings, stats, alignments);
    reference_outputs slow = reference_cluster(text.str(), settings, stats, alignments);
    bool same = fast.clusters == slow.clusters && fast.statistics == slow.statistics && fast.alignments == slow.alignments;
    std::printf("%s: cluster file %zu bytes, statistics %zu bytes, alignments %zu bytes: %s\n", argv[1], fast.clusters.size(),
                fast.statistics.size(), fast.alignments.size(), same ? "identical" : "DIFFERENT");
    return same ? 0 : 1;
}
