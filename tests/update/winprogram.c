/* A stand-in for stablomat.exe under Wine: holds stablomat.lock as the program does, claims the
   trial, notes its version in started.log and runs for a while. Version and lifetime are read from
   the end of its own file ("STBFAKE <version> <milliseconds>\n"), so that two copies differ. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(void)
{
    wchar_t self[MAX_PATH];
    char tail[64] = {0}, version[16] = "?";
    unsigned life = 0;
    size_t n = 0, i;
    HANDLE lock;
    FILE *f;

    GetModuleFileNameW(NULL, self, MAX_PATH);
    f = _wfopen(self, L"rb");
    if (f) {
        fseek(f, -(long)(sizeof tail - 1), SEEK_END);
        n = fread(tail, 1, sizeof tail - 1, f);
        fclose(f);
    }
    for (i = 0; i + 8 <= n; ++i) { /* the executable's own bytes before it may hold NULs */
        if (memcmp(tail + i, "STBFAKE ", 8) == 0) {
            sscanf(tail + i, "STBFAKE %15s %u", version, &life);
            break;
        }
    }

    lock = CreateFileA("stablomat.lock", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (lock == INVALID_HANDLE_VALUE)
        return 3;
    MoveFileA("stablomat.trial", "stablomat.tried");
    f = fopen("started.log", "ab");
    if (f) {
        fprintf(f, "%s\n", version);
        fclose(f);
    }
    Sleep(life);
    return 0;
}
