/* How long a new output exists unmarked on Windows: the create
 * (CREATE_NEW) and the delete-on-close mark, as viderav makes them, timed
 * together 2000 times.  Only a process ended from outside in that time
 * (TerminateProcess) leaves the new, empty file; the console's events wait.
 * Run it in a scratch folder. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static int by_value(const void* a, const void* b) {
    const double x = *(const double*)a;
    const double y = *(const double*)b;
    return x < y ? -1 : x > y;
}

int main(void) {
    enum { runs = 2000 };
    static double us[runs];
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    for (int i = 0; i < runs; ++i) {
        QueryPerformanceCounter(&t0);
        HANDLE h = CreateFileW(L"mark_window.tmp", GENERIC_WRITE | DELETE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, NULL);
        FILE_DISPOSITION_INFO info = {TRUE};
        const BOOL marked = h != INVALID_HANDLE_VALUE &&
                            SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info);
        QueryPerformanceCounter(&t1);
        if (!marked) {
            printf("run %d: create or mark failed (%lu)\n", i, GetLastError());
            return 1;
        }
        CloseHandle(h);
        us[i] = (double)(t1.QuadPart - t0.QuadPart) * 1e6 / (double)freq.QuadPart;
    }
    qsort(us, runs, sizeof us[0], by_value);
    printf("create and mark, %d runs: median %.0f us, 99th percentile %.0f us, max %.0f us\n", runs,
           us[runs / 2], us[runs * 99 / 100], us[runs - 1]);
    return 0;
}
