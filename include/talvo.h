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

#ifdef __cplusplus
}
#endif

#endif /* TALVO_H */
