/* A plain C host that loads and unloads libtalvo.so twice.  While loaded
 * the library holds the serial device; after dlclose no mapping of it is
 * left and no descriptor refers to the device or the settings file, and
 * loading it again opens the device again.  Run under talvo-sim --exec (TALVO_SIM_DEVICE). */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

static int library_mapped(void) {
    FILE* maps = fopen("/proc/self/maps", "r");
    char line[4096];
    int found = 0;
    if (maps == NULL) return 0;
    while (fgets(line, sizeof line, maps) != NULL) {
        if (strstr(line, "libtalvo.so") != NULL) found = 1;
    }
    fclose(maps);
    return found;
}

/* Whether a descriptor of this process refers to `file`: the same device
 * for a character device, the same file otherwise. */
static int device_held(const char* device) {
    struct stat want;
    DIR* fds;
    struct dirent* e;
    int found = 0;
    if (stat(device, &want) != 0) return 0;
    fds = opendir("/proc/self/fd");
    if (fds == NULL) return 0;
    while ((e = readdir(fds)) != NULL) {
        char path[64];
        struct stat st;
        if (e->d_name[0] == '.') continue;
        snprintf(path, sizeof path, "/proc/self/fd/%s", e->d_name);
        if (stat(path, &st) != 0) continue;
        if (S_ISCHR(want.st_mode) ? S_ISCHR(st.st_mode) && st.st_rdev == want.st_rdev
                                  : st.st_dev == want.st_dev && st.st_ino == want.st_ino) {
            found = 1;
        }
    }
    closedir(fds);
    return found;
}

int main(int argc, char** argv) {
    const char* device = getenv("TALVO_SIM_DEVICE");
    const char* base = getenv("TMPDIR");
    char dir[4096];
    char ini[4096 + 16];
    FILE* f;
    int round;
    snprintf(dir, sizeof dir, "%s/talvo-dlclose-XXXXXX", base != NULL && *base != '\0' ? base : "/tmp");
    if (argc != 2 || device == NULL || mkdtemp(dir) == NULL) {
        fprintf(stderr, "usage: talvo-sim --exec -- %s LIBRARY\n", argv[0]);
        return 2;
    }
    snprintf(ini, sizeof ini, "%s/VELDA.INI", dir);
    f = fopen(ini, "w");
    if (f == NULL) return 2;
    fprintf(f, "[CommParam]\nComName=%s\nBautRate=9600\nEchoTime=60\nWaitTime=250\nRepeat=1\n", device);
    fclose(f);
    setenv("TALVO_WINDIR", dir, 1);

    for (round = 0; round < 2; ++round) {
        void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
        int (*inq_stat)(int);
        check(library != NULL, "dlopen");
        if (library == NULL) break;
        *(void**)&inq_stat = dlsym(library, "InqStat");
        check(inq_stat != NULL && inq_stat(1) == 1, "InqStat(1) answers");
        check(device_held(device), "the device is open while the library is loaded");
        check(dlsym(library, "_ZNSt6vectorIhSaIhEED2Ev") == NULL, "no standard-library symbol is exported");
        check(dlclose(library) == 0, "dlclose");
        check(!library_mapped(), "no mapping of the library remains after dlclose");
        check(!device_held(device), "no descriptor refers to the device after dlclose");
        check(!device_held(ini), "no descriptor refers to the settings file after dlclose");
    }
    unlink(ini);
    rmdir(dir);
    if (failures == 0) printf("dlclose: the library unloads and releases the device\n");
    return failures == 0 ? 0 : 1;
}
