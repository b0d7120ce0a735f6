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

/* ---- Blacklist (6-character entries) ----------------------------------- */

/* Adds the entries of `entries` (concatenated 6-character groups). */
TALVO_API int TALVO_CALL AddHMD(int terminal, const char* entries);
/* Removes one entry; 0 without sending anything unless it is exactly 6
   characters long. */
TALVO_API int TALVO_CALL ReduHMD(int terminal, const char* entry);
/* Writes `count` entries (6 x count characters, not zero-terminated) at list
   position `position` (0-65535).  A negative count returns 0. */
TALVO_API int TALVO_CALL SetHMD(int terminal, int position, const char* entries, int count);
/* Clears the blacklist. */
TALVO_API int TALVO_CALL ClearHMD(int terminal);
/* Reads up to 32 entries from list position `position`.  On 1, `*count`
   receives the number n of entries and, when n > 0, `*data` a block of 6 x n
   characters (no terminators) that the host frees (see above). */
TALVO_API int TALVO_CALL ReadHMD(int terminal, int position, char** data, int* count);

/* ---- Card key ---------------------------------------------------------- */

/* Sends a key of six hex digits for the terminal to check (CheckKey) or to
   take (SetKey).  Lower case is sent in upper case; a position without a hex
   digit (or beyond the text) takes the default key's digit from "740258".
   The second and third arguments are not used. */
TALVO_API int TALVO_CALL CheckKey(int terminal, int unused1, int unused2, const char* keyText);
TALVO_API int TALVO_CALL SetKey(int terminal, int unused1, int unused2, const char* keyText);
/* Reads the four key flags into flags[0..3] (1 or 0; zeros on failure). */
TALVO_API int TALVO_CALL Inqkey(int terminal, int* flags);

/* ---- Price menu (0 to 9999.99, two decimals) ---------------------------- */

/* Writes `count` prices (0 to 255); a negative count returns 0. */
TALVO_API int TALVO_CALL Setmenu(int terminal, const float* prices, int count);
/* Reads the menu.  On 1, `*count` receives n > 0 and `*prices` an array of n
   floats that the host frees (see above).  An empty menu returns 0. */
TALVO_API int TALVO_CALL ReadMenu(int terminal, float** prices, int* count);
/* Clears the menu. */
TALVO_API int TALVO_CALL Clearmenu(int terminal);

/* ---- Subsidy list ------------------------------------------------------- */

/* Clears the subsidy list. */
TALVO_API int TALVO_CALL ClearList(int terminal);
/* Sets the maximum subsidy (narrowed to float, 0 to 9999.99). */
TALVO_API int TALVO_CALL SetMaxbt(int terminal, double amount);
/* Sends the subsidy time text as it stands. */
TALVO_API int TALVO_CALL SetBtTime(int terminal, const char* text);
/* Adds entries (concatenated 12-character groups) at list position
   `position` (0-65535). */
TALVO_API int TALVO_CALL AddBtList(int terminal, int position, const char* entries);

/* ---- Clock, time zones and lock ----------------------------------------- */

/* Time zones are 8 slots of 15 bytes: "hh:mm" and a zero in bytes 0-5. */
/* Always 1: `*zones` receives a 120-byte zero-filled block that the host
   frees (see above), filled when the terminal answered; the outcome is in
   GetError(). */
TALVO_API int TALVO_CALL ReadTimeZone(int terminal, char** zones);
/* Sends the 8 slots at `zones` (bytes 0, 1, 3 and 4 of each); always 1, the
   outcome is in GetError(). */
TALVO_API int TALVO_CALL SetTimeZone(int terminal, const char* zones);
/* Reads the clock into `timeText` (15 bytes): "yy/mm/dd*hh:mm". */
TALVO_API int TALVO_CALL ReadMachTime(int terminal, char* timeText);
/* Sets the clock from a text of at least 16 characters laid out as
   "yyyy/mm/dd hh:mm" (any separators); a shorter text returns 0. */
TALVO_API int TALVO_CALL SetMachTime(int terminal, const char* timeText);
/* Blocks and unblocks the terminal. */
TALVO_API int TALVO_CALL BlockMach(int terminal);
TALVO_API int TALVO_CALL UnBlockMach(int terminal);

/* ---- Attendance terminals ----------------------------------------------- */

/* Attendance zones are 8 slots of 15 bytes: "hh:mm\0hh:mm\0cc\0". */
/* Sends the 8 slots; always 1, the outcome is in GetError(). */
TALVO_API int TALVO_CALL SetAttendTimeZone(int terminal, const char* zones);
/* Always 1: `*zones` receives a 120-byte zero-filled block that the host
   frees (see above), filled when the terminal answered. */
TALVO_API int TALVO_CALL ReadAttendTimeZone(int terminal, char** zones);
/* Sets reason number `reasonNo` to the 8 bytes at `reason`. */
TALVO_API int TALVO_CALL SetAttendReason(int terminal, int reasonNo, const char* reason);
/* Reads reason `reasonNo` into `reason` (up to 8 bytes and a zero, 9 bytes);
   waits up to 2 seconds for the reply. */
TALVO_API int TALVO_CALL ReadAttendReason(int terminal, int reasonNo, char* reason);
/* Sets the clock from the text as it stands. */
TALVO_API int TALVO_CALL SetAttendTime(int terminal, const char* timeText);
/* Reads the clock: exactly 14 bytes into `timeText`, no terminator. */
TALVO_API int TALVO_CALL ReadAttendTime(int terminal, char* timeText);

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
