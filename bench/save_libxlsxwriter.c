/* The save benchmark's native anchor: ROWS x COLS cells, numbers or
 * strings, written with libxlsxwriter (optionally in constant-memory mode,
 * and with formats: a bold, filled header row above the cells, one font
 * over every column and two number formats taking turns by column);
 * prints the seconds from the new workbook to the closed file.
 *
 *     save_libxlsxwriter OUT.xlsx ROWS COLS numbers|strings [cm] [formats]
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
        fprintf(stderr, "usage: %s OUT.xlsx ROWS COLS numbers|strings [cm] [formats]\n", argv[0]);
        return 2;
    }
    long rows = atol(argv[2]), cols = atol(argv[3]);
    int strings = strcmp(argv[4], "strings") == 0;
    int cm = 0, formats = 0;
    for (int i = 5; i < argc; i++) {
        cm |= strcmp(argv[i], "cm") == 0;
        formats |= strcmp(argv[i], "formats") == 0;
    }
    lxw_workbook_options options = {.constant_memory = cm ? LXW_TRUE : LXW_FALSE};
    double start = now();
    lxw_workbook *book = workbook_new_opt(argv[1], &options);
    lxw_worksheet *sheet = workbook_add_worksheet(book, "data");
    lxw_format *column[2] = {NULL, NULL};
    long first = 0;
    if (formats) {
        /* the same formats as bench/save_formats.py gives */
        lxw_format *head = workbook_add_format(book);
        format_set_bold(head);
        format_set_bg_color(head, 0xDDEBF7);
        for (int i = 0; i < 2; i++) {
            column[i] = workbook_add_format(book);
            format_set_font_name(column[i], "Arial");
            format_set_font_size(column[i], 10);
            format_set_num_format(column[i], i ? "0.0%" : "#,##0.00");
        }
        for (long c = 0; c < cols; c++)
            worksheet_write_string(sheet, 0, (lxw_col_t)c, "head", head);
        first = 1;
    }
    char text[32];
    for (long r = 0; r < rows; r++) {
        for (long c = 0; c < cols; c++) {
            /* the same values as bench/save.py writes */
            if (strings) {
                snprintf(text, sizeof text, "text %ld", (r * 7 + c) % 10000);
                worksheet_write_string(sheet, (lxw_row_t)(r + first), (lxw_col_t)c, text,
                                       column[c % 2]);
            } else {
                worksheet_write_number(sheet, (lxw_row_t)(r + first), (lxw_col_t)c,
                                       (double)(r * cols + c) * 0.25, column[c % 2]);
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
