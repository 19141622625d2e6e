/* A small test program that runs inside the virtual machine: the shipping libArdellix.so.1 over
 * Debian's libusb 0.1 over the guest's kernel. It prints its findings as lines starting with
 * "@@ " on standard output, which the host reads from the serial console.
 *
 *   kprobe scan COUNT [ADDR HEX]  each index from 0 to COUNT: opening in both modes with its
 *                                 duration, the identity of an application; on a probe that
 *                                 opens only as a bootloader, VerifyFlash at ADDR with HEX and
 *                                 with one bit flipped
 *   kprobe list TAG               index -> serial number ("bootloader" for a probe in its
 *                                 bootloader), up to the first index that does not open
 *   kprobe restart INDEX          lists, restarts the probe at INDEX (ResetController), waits
 *                                 until as many probes answer again and lists again, all in
 *                                 this one process
 * Exit status: 0 when the command could run, 1 otherwise. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ardellix.h"

#define MAX_PROBES 8

static double NowMs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
}

static void SleepMs(long ms) {
    struct timespec t;
    t.tv_sec = ms / 1000;
    t.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&t, NULL);
}

/* The text a probe put into a zero-filled buffer, up to its first zero byte. */
static void Info(ScaHandle h, int selector, char* out, size_t size) {
    char text[32];
    memset(text, 0, sizeof text);
    if (ReadDeviceInfo(h, selector, text) == 1) {
        text[sizeof text - 1] = '\0';
        snprintf(out, size, "%s", text);
    } else {
        snprintf(out, size, "(failed)");
    }
}

static int Serial(ScaHandle h, char* out, size_t size) {
    char text[10];
    memset(text, 0, sizeof text);
    if (ReadSerialNo(h, text) != 1) {
        snprintf(out, size, "(failed)");
        return 0;
    }
    text[9] = '\0';
    snprintf(out, size, "%s", text);
    return 1;
}

static int ParseHex(const char* hex, unsigned char* out, int max) {
    int n = 0;
    while (hex[0] != '\0' && hex[1] != '\0' && n < max) {
        unsigned value;
        if (sscanf(hex, "%2x", &value) != 1) {
            return -1;
        }
        out[n++] = (unsigned char)value;
        hex += 2;
    }
    return hex[0] == '\0' ? n : -1;
}

static int Scan(int count, const char* address, const char* hex) {
    unsigned char expected[64];
    int length = 0;
    unsigned long at = 0;
    if (address != NULL) {
        at = strtoul(address, NULL, 0);
        length = ParseHex(hex, expected, (int)sizeof expected);
        if (length <= 0) {
            fprintf(stderr, "kprobe: bad bytes %s\n", hex);
            return 1;
        }
    }
    for (int index = 0; index <= count; ++index) {
        const double start = NowMs();
        ScaHandle h = OpenSCA(index);
        const double appMs = NowMs() - start;
        const int application = h != 0;
        printf("@@ scan index=%d app=%d app_ms=%.1f", index, application, appMs);
        if (application) {
            static const char* const keys[] = {"product", "manufacturer", "info_serial", "version",
                                               "date"};
            char text[40];
            Serial(h, text, sizeof text);
            printf(" serial=%s", text);
            for (int selector = 0; selector < 5; ++selector) {
                Info(h, selector, text, sizeof text);
                printf(" %s=%s", keys[selector], text);
            }
            printf(" close=%d", (int)CloseSCA(h));
        }
        h = OpenSCABootloader(index);
        printf(" boot=%d", h != 0);
        if (h != 0 && !application && length > 0) {
            int good = VerifyFlash(h, (uint32_t)at, expected, length);
            expected[length / 2] ^= 0x01;
            int bad = VerifyFlash(h, (uint32_t)at, expected, length);
            expected[length / 2] ^= 0x01;
            printf(" verify_good=%d verify_flipped=%d", good, bad);
        }
        if (h != 0) {
            CloseSCA(h);
        }
        printf("\n");
        fflush(stdout);
    }
    return 0;
}

/* index -> serial number; returns how many indices opened. */
static int Listing(char serials[MAX_PROBES][16]) {
    int n = 0;
    for (; n < MAX_PROBES; ++n) {
        ScaHandle h = OpenSCA(n);
        if (h != 0) {
            Serial(h, serials[n], sizeof serials[n]);
            CloseSCA(h);
            continue;
        }
        h = OpenSCABootloader(n);
        if (h == 0) {
            break;
        }
        snprintf(serials[n], sizeof serials[n], "bootloader");
        CloseSCA(h);
    }
    return n;
}

static void PrintListing(const char* tag, char serials[MAX_PROBES][16], int n) {
    printf("@@ list %s", tag);
    for (int i = 0; i < n; ++i) {
        printf(" %d=%s", i, serials[i]);
    }
    printf("\n");
    fflush(stdout);
}

static int AllApplications(char serials[MAX_PROBES][16], int n) {
    for (int i = 0; i < n; ++i) {
        if (strcmp(serials[i], "bootloader") == 0 || strcmp(serials[i], "(failed)") == 0) {
            return 0;
        }
    }
    return 1;
}

static int Restart(int index) {
    char serials[MAX_PROBES][16];
    const int before = Listing(serials);
    PrintListing("before-same-process", serials, before);
    ScaHandle h = OpenSCA(index);
    if (h == 0) {
        fprintf(stderr, "kprobe: no probe answers at index %d\n", index);
        return 1;
    }
    const int reset = ResetController(h);
    CloseSCA(h);
    const double start = NowMs();
    printf("@@ restart index=%d reset=%d\n", index, reset);
    fflush(stdout);
    /* Until as many probes answer in their application as before, polling every 50 ms. */
    for (;;) {
        SleepMs(50);
        const int now = Listing(serials);
        if (now == before && AllApplications(serials, now)) {
            printf("@@ restart back_ms=%.0f\n", NowMs() - start);
            PrintListing("after-same-process", serials, now);
            return 0;
        }
        if (NowMs() - start > 20000.0) {
            printf("@@ restart back_ms=never\n");
            PrintListing("after-same-process", serials, now);
            return 1;
        }
    }
}

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "scan") == 0) {
        return Scan(atoi(argv[2]), argc >= 5 ? argv[3] : NULL, argc >= 5 ? argv[4] : NULL);
    }
    if (argc == 3 && strcmp(argv[1], "list") == 0) {
        char serials[MAX_PROBES][16];
        PrintListing(argv[2], serials, Listing(serials));
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "restart") == 0) {
        return Restart(atoi(argv[2]));
    }
    fprintf(stderr, "usage: kprobe scan COUNT [ADDR HEX] | list TAG | restart INDEX\n");
    return 1;
}
