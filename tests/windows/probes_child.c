/* Several simulated probes at once: "probes_child SERIAL..." opens one connection to each
 * device index, all held together, and checks that they reach the probes given, each one once.
 * Each connection's two channels must open the same device, found again by its bus and device
 * names. */
#include <stdio.h>
#include <string.h>

#include "ardellix.h"

#define MAX_PROBES 8

int main(int argc, char** argv) {
    ScaHandle handles[MAX_PROBES];
    char serials[MAX_PROBES][10];
    int seen[MAX_PROBES] = {0};
    int count = argc - 1;
    int failures = 0;
    int i;
    int j;
    if (count < 1 || count > MAX_PROBES) {
        fprintf(stderr, "usage: probes_child SERIAL... (1 to %d)\n", MAX_PROBES);
        return 2;
    }
    for (i = 0; i < count; ++i) {
        handles[i] = OpenSCA(i);
        memset(serials[i], 0, sizeof serials[i]);
        if (handles[i] == 0 || ReadSerialNo(handles[i], serials[i]) != 1) {
            fprintf(stderr, "index %d: no connection or no serial number\n", i);
            ++failures;
            continue;
        }
        for (j = 0; j < count; ++j) {
            if (!seen[j] && strcmp(serials[i], argv[j + 1]) == 0) {
                seen[j] = 1;
                break;
            }
        }
        if (j == count) {
            fprintf(stderr, "index %d: serial number %s unexpected or seen before\n", i,
                    serials[i]);
            ++failures;
        }
    }
    if (OpenSCA(count) != 0) {
        fprintf(stderr, "index %d: a connection to a probe that is not there\n", count);
        ++failures;
    }
    for (i = 0; i < count; ++i) {
        if (handles[i] != 0 && CloseSCA(handles[i]) != 1) {
            fprintf(stderr, "index %d: close failed\n", i);
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
