/* A program of the library's users: opens the first probe, prints its serial number and
 * high voltage, and closes it. Built against an installed library only. */
#include <ardellix.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    char serial[10];
    int32_t hv = -1;
    ScaHandle probe = OpenSCA(0);
    if (probe == 0) {
        fprintf(stderr, "consumer: no probe\n");
        return 1;
    }
    memset(serial, 0, sizeof serial);
    if (!ReadSerialNo(probe, serial) || !ReadHV(probe, &hv)) {
        fprintf(stderr, "consumer: probe did not answer\n");
        CloseSCA(probe);
        return 1;
    }
    printf("serial %s hv %d\n", serial, (int)hv);
    return CloseSCA(probe) == 1 ? 0 : 1;
}
