// Runs the map sub-command with every alignment made in full, pair by pair:
// the reference against which bench/map.sh checks the fast search.
//   map_reference [map options] [cluster_file] barcode_file
#include "io/error.h"
#include "io/output.h"
#include "reference/map_reference.h"

int main(int argc, char** argv) {
    char name[] = "map";
    argv[0] = name;
    int status = run_guarded(map_reference_main, argc, argv);
    try {
        standard_output().flush();
    } catch (const exit_request& request) {
        return request.status;
    }
    return status;
}
