// probefloor.exe ROUNDS: times ROUNDS rounds of the drive picker's 25 probes
// of \\.\A: to \\.\Y: (open as the picker does, read one sector, close), done
// bare in one process so that no program start is counted. Prints per round
//   ROUND <microseconds> <drives read>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

char ProbePath[] = "\\\\.\\A:";
char ProbeSector[512];

bool ProbeBare(char letter)
{
    ProbePath[4] = letter;
    HANDLE volume = CreateFileA(ProbePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE)
        return false;
    DWORD read = 0;
    ReadFile(volume, ProbeSector, sizeof ProbeSector, &read, nullptr);
    CloseHandle(volume);
    return read == sizeof ProbeSector;
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : 1;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    for (int round = 0; round < rounds; ++round) {
        int readable = 0;
        QueryPerformanceCounter(&start);
        for (char letter = 'A'; letter <= 'Y'; ++letter)
            readable += ProbeBare(letter) ? 1 : 0;
        QueryPerformanceCounter(&end);
        double micros = (double)(end.QuadPart - start.QuadPart) * 1e6 / (double)frequency.QuadPart;
        printf("ROUND %.0f %d\n", micros, readable);
        fflush(stdout);
    }
    return 0;
}
