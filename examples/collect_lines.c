/* Collects the transaction records of terminal 1 on each of several serial
   lines into one CSV file, with the line API: each batch is fetched, written
   and flushed to the file, and only then confirmed to the terminal.  A batch
   whose confirmation fails stays on the terminal and comes again with the
   next fetch (run it again; a real collector de-duplicates by batch mark).

     collect_lines OUT.csv DEVICE [DEVICE...]
     cc collect_lines.c $(pkg-config --cflags --libs talvo)
   On Windows: i686-w64-mingw32-gcc collect_lines.c -I dist/win32 -L dist/win32 -lTALVO */
#include <stdio.h>
#include <stdlib.h>

#include "talvo.h"

/* This host drives lines only: the library's load step must not open the
   port of the 43 exports' settings file.  (On Windows, set TALVO_DEFER_PORT=1
   in the environment instead.) */
TALVO_LINES_ONLY_HOST;

#define MAX_LINES 8

static const char* type_name(int type) {
    switch (type) {
        case TALVO_RECORD_PAYMENT: return "payment";
        case TALVO_RECORD_DEPOSIT: return "deposit";
        case TALVO_RECORD_SUBSIDY: return "subsidy";
        default: return "unknown";
    }
}

/* Writes one batch; returns 0 when every line reached the disk cache. */
static int write_batch(FILE* out, const char* device, const talvo_record* r, size_t n) {
    size_t i;
    for (i = 0; i < n; ++i) {
        long cents = r[i].amount_cents < 0 ? -(long)r[i].amount_cents : r[i].amount_cents;
        fprintf(out, "%s,%d,%s,%s,%s%ld.%02ld,%04d-%02d-%02d %02d:%02d\n", device, r[i].terminal, r[i].card,
                type_name(r[i].type), r[i].amount_cents < 0 ? "-" : "", cents / 100, cents % 100, r[i].year,
                r[i].month, r[i].day, r[i].hour, r[i].minute);
    }
    return fflush(out) == 0 && !ferror(out) ? 0 : -1;
}

int main(int argc, char** argv) {
    talvo_line* lines[MAX_LINES] = {0};
    int count = argc - 2;
    int i, failures = 0;
    size_t total = 0;
    FILE* out;

    if (argc < 3 || count > MAX_LINES) {
        fprintf(stderr, "usage: %s OUT.csv DEVICE [DEVICE...]\n", argv[0]);
        return 2;
    }
    out = fopen(argv[1], "a");
    if (out == NULL) {
        perror(argv[1]);
        return 2;
    }
    for (i = 0; i < count; ++i) {
        talvo_line_options options;
        int rc;
        talvo_line_options_init(&options);
        options.device = argv[i + 2];
        options.baud = 9600;
        rc = talvo_line_open(&options, &lines[i]);
        if (rc != TALVO_OK) {
            fprintf(stderr, "%s: %s\n", argv[i + 2], talvo_strerror(rc));
            ++failures;
        }
    }

    for (i = 0; i < count; ++i) {
        if (lines[i] == NULL) continue;
        for (;;) {
            talvo_record records[TALVO_BATCH_MAX];
            talvo_batch batch;
            size_t n = 0;
            int rc = talvo_records_fetch(lines[i], 1, records, TALVO_BATCH_MAX, &n, &batch);
            if (rc != TALVO_OK) {
                fprintf(stderr, "%s: terminal 1: %s\n", argv[i + 2], talvo_strerror(rc));
                ++failures;
                break;
            }
            if (batch.count == 0) break; /* the terminal holds no more */
            if (write_batch(out, argv[i + 2], records, n) != 0) {
                fprintf(stderr, "%s: cannot write the records; they stay on the terminal\n", argv[1]);
                ++failures;
                break;
            }
            rc = talvo_records_confirm(lines[i], 1, &batch);
            if (rc != TALVO_OK) {
                fprintf(stderr, "%s: terminal 1: batch %d not confirmed: %s\n", argv[i + 2], batch.mark,
                        talvo_strerror(rc));
                ++failures;
                break;
            }
            total += n;
        }
        talvo_line_close(lines[i]);
    }
    fclose(out);
    printf("%lu records collected\n", (unsigned long)total);
    return failures == 0 ? 0 : 1;
}
