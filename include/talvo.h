/*
 * talvo.h - host interface of the card-terminal line library.
 *
 * TALVO.dll (32-bit Windows) and libtalvo.so (Linux) drive card-payment and
 * attendance terminals on one half-duplex serial line.  Every command export
 * names a terminal by its number (0-255), sends one request frame, collects
 * the terminal's reply and returns 1 (accepted) or 0 (refused or failed).
 * The outcome of the last exchange is kept and read with GetError():
 *
 *    0  the exchange succeeded (the terminal may still have refused: the
 *       export then returns 0 while GetError() reads 0)
 *   -1  the port was not open, or not one byte of the request was written
 *   -2  the request was written only in part, or no valid reply frame came
 *   -3  nothing was received within the time limits
 *   -6  a reply frame came that the command's own check refused
 *
 * Line settings come from VELDA.INI, read again for every command: on
 * Windows in the Windows directory; on Linux in $TALVO_WINDIR, else
 * $XDG_CONFIG_HOME/talvo, else $HOME/.config/talvo.  The file is created with
 * the defaults when it is missing.
 *
 * Loading: the library opens the configured port while it is loaded.  On
 * Windows a port that cannot be opened makes LoadLibrary fail.  On Linux the
 * library stays loaded but unusable: the failure is reported on standard
 * error, GetError() reads -1 and every command fails with -1.
 *
 * Threads: every export that uses the port holds one library-wide lock for
 * the whole exchange, so calls from several threads are serialized and never
 * interleave on the line.  A single-threaded host sees no difference.
 *
 * Output buffers belong to the caller and are never given a size; each export
 * below says how many bytes it writes.  Blocks that the library allocates for
 * the host (ReadHMD, ReadMenu, ReadTimeZone, ReadAttendTimeZone) belong to the
 * host: on Windows they are locked movable global memory, released with
 * GlobalUnlock(GlobalHandle(p)) followed by GlobalFree(GlobalHandle(p)); on
 * Linux they come from malloc and are released with free(p).
 *
 * Texts are 8-bit (GBK on Windows) and zero-terminated unless said otherwise.
 */
#ifndef TALVO_H
#define TALVO_H

#ifdef _WIN32
#define TALVO_CALL __stdcall
#else
#define TALVO_CALL
#endif

#ifndef TALVO_API
#if defined(_WIN32)
#define TALVO_API
#else
#define TALVO_API __attribute__((visibility("default")))
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Module state ------------------------------------------------------ */

/* The result code of the most recent exchange (see above). */
TALVO_API int TALVO_CALL GetError(void);
/* Diagnostics: while nonzero, every reply collected (Recp) or frame sent
   (Send) is shown in a message box on Windows, on standard error on Linux.
   The boxes are modal and block the caller; TALVO_TRACE never blocks (see
   the README). */
TALVO_API void TALVO_CALL SetDisplayRecp(int on);
TALVO_API void TALVO_CALL SetDisplaySend(int on);
TALVO_API int TALVO_CALL GetDisplayRecp(void);
TALVO_API int TALVO_CALL GetDisplaySend(void);
/* Formats `value` with `format` into `buffer` and returns the number of
   characters written.  The format must hold exactly one floating conversion
   (e E f F g G a A, with flags, width and precision; "%%" anywhere); any other
   format writes an empty text and returns -1.  Exponents have at least three
   digits (1.5e+000).  The caller makes the buffer large enough. */
TALVO_API int TALVO_CALL SetFloatInStr(char* buffer, const char* format, float value);
/* Writes "It's me!" and a zero byte (9 bytes) into `buffer` unless it is
   null; always returns 0.  Identifies the library. */
TALVO_API int TALVO_CALL IsFileExist(char* buffer);

/* ---- Parameter and status commands ------------------------------------- */

/* 1 when the terminal answers and accepts. */
TALVO_API int TALVO_CALL InqStat(int terminal);
/* Clears the terminal's memory. */
TALVO_API int TALVO_CALL ClearRAM(int terminal);
/* Reads the 12-character CMW text into `text` (13 bytes: 12 characters and a
   zero).  Returns 1 when the exchange succeeded and the reply carried the
   text, whatever the terminal's status; a shorter reply returns 0 and leaves
   `text` alone. */
TALVO_API int TALVO_CALL ReadCMW(int terminal, char* text);
/* Sends `text` as 12 characters: cut to 12, or padded with '0'. */
TALVO_API int TALVO_CALL Setcmw(int terminal, const char* text);
/* Reads the mdeb amount into `*amount` (0 to 9999.99). */
TALVO_API int TALVO_CALL Readmdeb(int terminal, float* amount);
/* Sets the mdeb amount (0 to 9999.99, two decimals). */
TALVO_API int TALVO_CALL Setmdeb(int terminal, float amount);

/* ---- Transaction records ---------------------------------------------- */

/* The 44-byte record of the store file and of SperateJyzmTxt, little-endian:
     offset  0  char  TerminalText[4]   terminal number, "%03d"
     offset  4  char  CardNumber[7]     six characters and a zero
     offset 11  char  TypeText[3]       "05" (negative amount), "13" or "14"
     offset 14        2 bytes not written by the decoding
     offset 16  float Amount            signed by the type
     offset 20  char  DateText[11]      "yyyy/mm/dd"
     offset 31  char  TimeText[6]       "hh:mm"
     offset 37        3 bytes not written by the decoding
     offset 40  float SecondAmount
   The store file: "CASEDATA", a zero byte, 3 reserved bytes, a 32-bit record
   count at offset 12, then `count` records from offset 16.  Bytes behind the
   counted records are left over from a withdrawn batch and mean nothing. */

/* Collects one batch of up to six records from a terminal into the store
   file at `path` (created when missing).  Damaged and unwanted records are
   logged to "ErrRec.doc" in the current directory.  The records are written
   and flushed to disk before the terminal is told to clear them; only when it
   confirms does the call return 1, with `*count` the records stored and
   `*total` the sum of their amounts.  A terminal without records gives 1 and
   `*count` 0.  On 0 the store's count is as before: nothing was lost, and the
   terminal still holds the batch (`*count` then holds the number received).
   A file that is not a store is never changed. */
TALVO_API int TALVO_CALL AutoReadJyzm(int terminal, int* count, float* total, const char* path);
/* Tells the terminal to clear `count` records (low 8 bits) without reading
   them; on 1, `*mark` receives the mark the terminal answered with. */
TALVO_API int TALVO_CALL Clearjyzm(int terminal, int count, unsigned short* mark);
/* Decodes the 28 characters at `raw` into the caller's 44-byte `record` for
   terminal number `terminal`; always 1.  The check pair is not tested and the
   bytes at offsets 14-15 and 37-39 are left as they were.  `reserved` is
   not used. */
TALVO_API int TALVO_CALL SperateJyzmTxt(const char* raw, int terminal, void* record, int reserved);

#ifdef __cplusplus
}
#endif

#endif /* TALVO_H */
