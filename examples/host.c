/* A short host program: asks terminal 1 for its status and formats an
   amount.  Build it against the installed library:
     cc host.c $(pkg-config --cflags --libs talvo)
   or with CMake: find_package(talvo) and target_link_libraries(host talvo::talvo).
   On Windows: i686-w64-mingw32-gcc host.c -I dist/win32 -L dist/win32 -lTALVO */
#include <stdio.h>

#include "talvo.h"

int main(void) {
    char name[16];
    char text[32];

    IsFileExist(name);
    printf("library: %s\n", name);
    if (!InqStat(1)) {
        printf("terminal 1 does not answer: error %d\n", GetError());
        return 1;
    }
    printf("terminal 1 answers\n");
    SetFloatInStr(text, "%.2f", 1234.5f);
    printf("amount: %s\n", text);
    return 0;
}
