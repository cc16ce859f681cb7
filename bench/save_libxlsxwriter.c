/* The save benchmark's native anchor: ROWS x COLS cells, numbers or
 * strings, written with libxlsxwriter (optionally in constant-memory mode);
 * prints the seconds from the new workbook to the closed file.
 *
 *     save_libxlsxwriter OUT.xlsx ROWS COLS numbers|strings [constant_memory]
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <xlsxwriter.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: %s OUT.xlsx ROWS COLS numbers|strings [constant_memory]\n", argv[0]);
        return 2;
    }
    long rows = atol(argv[2]), cols = atol(argv[3]);
    int strings = strcmp(argv[4], "strings") == 0;
    lxw_workbook_options options = {.constant_memory = argc > 5 ? LXW_TRUE : LXW_FALSE};
    double start = now();
    lxw_workbook *book = workbook_new_opt(argv[1], &options);
    lxw_worksheet *sheet = workbook_add_worksheet(book, "data");
    char text[32];
    for (long r = 0; r < rows; r++) {
        for (long c = 0; c < cols; c++) {
            /* the same values as bench/save.py writes */
            if (strings) {
                snprintf(text, sizeof text, "text %ld", (r * 7 + c) % 10000);
                worksheet_write_string(sheet, (lxw_row_t)r, (lxw_col_t)c, text, NULL);
            } else {
                worksheet_write_number(sheet, (lxw_row_t)r, (lxw_col_t)c,
                                       (double)(r * cols + c) * 0.25, NULL);
            }
        }
    }
    lxw_error err = workbook_close(book);
    if (err) {
        fprintf(stderr, "libxlsxwriter: %s\n", lxw_strerror(err));
        return 1;
    }
    printf("%.6f\n", now() - start);
    return 0;
}
