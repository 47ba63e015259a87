/* A Windows stand-in for a milking system's converter (plain C, built with MinGW, run under Wine).
 * It behaves as fakeconverter does: "fakeconverter.mode" beside it chooses the behaviour ("hang":
 * never finish), "fakeconverter.record" receives the working directory, the arguments and the
 * input file's bytes (hex), and the answer holds "VN999999" with the number of input lines. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static const char *valueAfter(int argc, char **argv, const char *option)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (strcmp(argv[i], option) == 0)
            return argv[i + 1];
    return NULL;
}

int main(int argc, char **argv)
{
    char home[MAX_PATH], path[MAX_PATH + 64], cwd[MAX_PATH], mode[16] = "";
    GetModuleFileNameA(NULL, home, MAX_PATH);
    *strrchr(home, '\\') = 0;

    snprintf(path, sizeof path, "%s\\fakeconverter.mode", home);
    FILE *m = fopen(path, "rb");
    if (m) {
        fgets(mode, sizeof mode, m);
        fclose(m);
    }

    const char *input = valueAfter(argc, argv, "-f");
    if (!input)
        input = valueAfter(argc, argv, "-E");
    if (!input)
        input = "tau_ms.2";
    static char request[1 << 16];
    size_t size = 0;
    FILE *in = fopen(input, "rb");
    if (in) {
        size = fread(request, 1, sizeof request - 1, in);
        fclose(in);
    }

    snprintf(path, sizeof path, "%s\\fakeconverter.record", home);
    FILE *rec = fopen(path, "wb");
    if (!rec)
        return 2;
    GetCurrentDirectoryA(MAX_PATH, cwd);
    fprintf(rec, "cwd=%s\n", cwd);
    for (int i = 1; i < argc; ++i)
        fprintf(rec, "arg=%s\n", argv[i]);
    fprintf(rec, "input=");
    for (size_t i = 0; i < size; ++i)
        fprintf(rec, "%02x", (unsigned char)request[i]);
    fprintf(rec, "\n");
    fclose(rec);

    if (strncmp(mode, "hang", 4) == 0) {
        Sleep(600000);
        return 0;
    }

    /* The answer: -o, or "ON <name>" of the request beside the input, or TAU_PRC.2. */
    char answer[MAX_PATH + 64] = "TAU_PRC.2";
    const char *out = valueAfter(argc, argv, "-o");
    if (out) {
        snprintf(answer, sizeof answer, "%s", out);
    } else {
        const char *on = strstr(request, "ON ");
        if (on && (on == request || on[-1] == '\n')) {
            char name[MAX_PATH];
            sscanf(on + 3, "%259[^\r\n]", name);
            snprintf(answer, sizeof answer, "%s", input);
            char *slash = strrchr(answer, '\\');
            snprintf(slash ? slash + 1 : answer, MAX_PATH, "%s", name);
        }
    }
    int lines = 0;
    for (size_t i = 0; i < size; ++i)
        lines += request[i] == '\n';
    FILE *a = fopen(answer, "wb");
    if (!a)
        return 4;
    fprintf(a, "CN fake answer\r\nVN999999%6d\r\n", lines);
    fclose(a);
    return 0;
}
