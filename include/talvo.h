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
 * library stays loaded: the failure is reported on standard error and
 * GetError() reads -1.  A command on a port that is not open (missing at
 * load, or lost since) tries once to open it again and, if that fails, sends
 * nothing and sets -1.  With TALVO_DEFER_PORT=1 in the environment the load
 * does not open the port at all (for hosts that use only the line API); the
 * first command does.
 *
 * Refusals: every command export returns 0 (its failure value) without
 * sending anything, and leaves its outputs and GetError() alone, for a null
 * pointer, a terminal number outside 0-255, an amount that is NaN, infinite,
 * negative or above 9999.99 once rounded to cents, and a request whose frame
 * would exceed 65536 bytes.  Positions and the one-byte Count field keep
 * their wrap (a list of 256 entries announces 0).
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

#include <stddef.h>
#include <stdint.h>

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
   The boxes are modal and block the caller; TALVO_TRACE (read when the
   library loads) never blocks (see the README). */
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
/* Sends `text` as 12 characters: cut to 12, or padded with '0'.  At most
   12 characters are read (the text need not end within them). */
TALVO_API int TALVO_CALL Setcmw(int terminal, const char* text);
/* Reads the mdeb amount into `*amount` (0 to 9999.99). */
TALVO_API int TALVO_CALL Readmdeb(int terminal, float* amount);
/* Sets the mdeb amount (0 to 9999.99, two decimals; anything else is
   refused). */
TALVO_API int TALVO_CALL Setmdeb(int terminal, float amount);

/* ---- Blacklist (6-character entries) ----------------------------------- */

/* Adds the entries of `entries` (concatenated 6-character groups; the text
   is read up to 65535 characters, and a longer one is refused). */
TALVO_API int TALVO_CALL AddHMD(int terminal, const char* entries);
/* Removes one entry; 0 without sending anything unless it is exactly 6
   characters long. */
TALVO_API int TALVO_CALL ReduHMD(int terminal, const char* entry);
/* Writes `count` entries (6 x count characters, not zero-terminated) at list
   position `position` (0-65535).  A negative count, or one whose entries
   would not fit a 64 KiB frame (about 10900), returns 0. */
TALVO_API int TALVO_CALL SetHMD(int terminal, int position, const char* entries, int count);
/* Clears the blacklist. */
TALVO_API int TALVO_CALL ClearHMD(int terminal);
/* Reads up to 32 entries from list position `position`.  On 1, `*count`
   receives the number n of entries (0 to 32, whatever the reply announces)
   and, when n > 0, `*data` a block of 6 x n characters (no terminators) that
   the host frees (see above). */
TALVO_API int TALVO_CALL ReadHMD(int terminal, int position, char** data, int* count);

/* ---- Card key ---------------------------------------------------------- */

/* Sends a key of six hex digits for the terminal to check (CheckKey) or to
   take (SetKey).  Lower case is sent in upper case; a position without a hex
   digit (or beyond the text) takes the default key's digit from "740258".
   At most 6 characters of `keyText` are read.  The second and third
   arguments are not used. */
TALVO_API int TALVO_CALL CheckKey(int terminal, int unused1, int unused2, const char* keyText);
TALVO_API int TALVO_CALL SetKey(int terminal, int unused1, int unused2, const char* keyText);
/* Reads the four key flags into flags[0..3] (1 or 0; zeros on failure). */
TALVO_API int TALVO_CALL Inqkey(int terminal, int* flags);

/* ---- Price menu (0 to 9999.99, two decimals) ---------------------------- */

/* Writes `count` prices (0 to 255 announced; more wrap); a negative count,
   a count beyond one 64 KiB frame, or one price outside 0 to 9999.99 refuses
   the whole list. */
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
/* Sends the subsidy time text as it stands (refused from 65536
   characters on). */
TALVO_API int TALVO_CALL SetBtTime(int terminal, const char* text);
/* Adds entries (concatenated 12-character groups) at list position
   `position` (0-65535); refused from 65536 characters on. */
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
/* Sets the clock from the text as it stands (refused from 65536
   characters on). */
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
   file at `path` (created when missing, never truncated: of two collections
   that start on a new file the later appends behind the earlier one's
   records; one that finds the file held by another fails, nothing sent to
   clear).  Damaged and unwanted records are
   logged to "ErrRec.doc" in the current directory.  The records are written
   and flushed to disk before the terminal is told to clear them; only when it
   confirms does the call return 1, with `*count` the records stored and
   `*total` the sum of their amounts.  A terminal without records gives 1 and
   `*count` 0.  On 0 the store's count is as before: nothing was lost, and the
   terminal still holds the batch (`*count` then holds the number received),
   except when the terminal gave no clear answer to the confirmation: the
   batch then stays stored, and when the terminal hands the same records
   again (under the same mark or a new one: talvo_batch_same) they are
   confirmed without being stored twice (1, `*count` 0).
   A file that is not a store, or whose header counts more records than it
   holds, is never changed.  `path` is read up to 4096 characters. */
TALVO_API int TALVO_CALL AutoReadJyzm(int terminal, int* count, float* total, const char* path);
/* Tells the terminal to clear `count` records (low 8 bits) without reading
   them; on 1, `*mark` receives the mark the terminal answered with. */
TALVO_API int TALVO_CALL Clearjyzm(int terminal, int count, unsigned short* mark);
/* Decodes the 28 characters at `raw` into the caller's 44-byte `record` for
   terminal number `terminal`; always 1.  The check pair is not tested and the
   bytes at offsets 14-15 and 37-39 are left as they were.  `reserved` is
   not used. */
TALVO_API int TALVO_CALL SperateJyzmTxt(const char* raw, int terminal, void* record, int reserved);


/* ======================================================================== */
/* The line API                                                             */
/* ======================================================================== */
/*
 * A second interface beside the 43 exports above, for new hosts: a line is a
 * handle to one serial port opened with explicit options (no settings file
 * is read or written), any number of lines may be open in one process, every
 * function returns 0 or a negative TALVO_E_* code, outputs go to the caller's
 * buffers with explicit sizes, money is in integer cents and dates are
 * fields.  On Windows the functions are __stdcall and exported undecorated
 * at ordinals 101 and above; the 43 exports keep their ordinals.
 *
 * Threads: calls on one line are serialized by the line's own lock (a call
 * waits for the one before it); calls on different lines run in parallel.
 * talvo_line_close waits for a call in progress on that line and makes every
 * later call on the handle return TALVO_E_CLOSED (handles are never reused,
 * so a stale handle never reaches another line).  The 43 exports share one
 * module-wide lock and one last error, apart from every line.
 *
 * Refusals: a null handle or pointer, a terminal number outside 0-255, an
 * amount outside what the line's encoding holds, a text that is too long, a
 * count that does not fit the request: TALVO_E_INVALID, nothing is sent and
 * no output is written.  An output buffer too small for the reply:
 * TALVO_E_BUFFER, nothing is written beyond the sizes given.
 */


#define TALVO_VERSION_MAJOR 1
#define TALVO_VERSION_MINOR 2
#define TALVO_VERSION_PATCH 0
/* 10200 for 1.2.0; compare with talvo_version_number() at run time. */
#define TALVO_VERSION_NUMBER (TALVO_VERSION_MAJOR * 10000 + TALVO_VERSION_MINOR * 100 + TALVO_VERSION_PATCH)

/* Error codes.  -1 to -6 are the results GetError() reports for the 43
   exports, with the same meaning. */
#define TALVO_OK 0
#define TALVO_E_PORT (-1)          /* port not open, or not one byte written */
#define TALVO_E_BAD_REPLY (-2)     /* partial write, or no valid reply frame */
#define TALVO_E_NO_REPLY (-3)      /* nothing received within the time limits */
#define TALVO_E_NOT_RUN (-4)       /* no exchange run yet */
#define TALVO_E_REPLY_CHECK (-6)   /* a reply frame the command's check refused */
#define TALVO_E_REFUSED (-7)       /* the terminal answered and refused */
#define TALVO_E_SHORT_REPLY (-8)   /* accepted, but without the data asked for */
#define TALVO_E_INVALID (-9)       /* an argument refused; nothing sent */
#define TALVO_E_BUFFER (-10)       /* an output buffer too small for the reply */
#define TALVO_E_CLOSED (-11)       /* a null, closed or unknown line or store handle */
#define TALVO_E_NO_MEMORY (-12)    /* memory could not be allocated */
#define TALVO_E_NO_DEVICE (-13)    /* the device does not exist */
#define TALVO_E_BUSY (-14)         /* the device is in use by another program */
#define TALVO_E_ACCESS (-15)       /* no permission to open the device */
#define TALVO_E_LINE_FORMAT (-16)  /* baud rate or line format not accepted */
#define TALVO_E_OPEN (-17)         /* the device cannot be opened (other reason) */
#define TALVO_E_STORE (-18)        /* a record store that cannot be used */
#define TALVO_E_BATCH (-19)        /* not the batch last fetched from the terminal */
#define TALVO_E_UNCONFIRMED (-20)  /* the terminal did not confirm the batch */
#define TALVO_E_INTERNAL (-21)     /* an unexpected failure inside the library */
/* Network lines (device "tcp://host:port" or "rfc2217://host:port"): */
#define TALVO_E_URL (-22)          /* a malformed device URL */
#define TALVO_E_SCHEME (-23)       /* a device URL of an unknown scheme */
#define TALVO_E_URL_PORT (-24)     /* the URL's port is out of range (1-65535) */
#define TALVO_E_RESOLVE (-25)      /* the URL's host name does not resolve */
#define TALVO_E_CONNECT (-26)      /* connection refused, or not made in time */
#define TALVO_E_NEGOTIATE (-27)    /* the device server failed the RFC 2217 negotiation */

/* English text for any code above (and "unknown error" for others); a
   static text, never freed.  Thread-safe. */
TALVO_API const char* TALVO_CALL talvo_strerror(int code);
/* "1.2.0": the library's version, static.  Thread-safe. */
TALVO_API const char* TALVO_CALL talvo_version(void);
/* TALVO_VERSION_NUMBER of the library loaded. */
TALVO_API int TALVO_CALL talvo_version_number(void);

/* ---- Lines --------------------------------------------------------------- */

typedef struct talvo_line talvo_line;

/* Options of one line.  Fill with talvo_line_options_init (a macro for
   talvo_line_options_init_size with the size of your structure), then change
   what differs; `device` is copied by talvo_line_open.  The structure grows
   at its end only: `size` tells the library which fields a host knows, and
   fields beyond it take their defaults (a host built against 1.1 passes
   the 1.1 size and gets the terminal check). */
typedef struct talvo_line_options {
    uint32_t size;          /* sizeof(talvo_line_options), set by init */
    const char* device;     /* "COM2", "\\.\COM12", "/dev/ttyUSB0", "ttyS1"...
                               or a device server: "tcp://host:port" (raw
                               bytes), "rfc2217://host:port" (Telnet COM
                               port control: the server is set to `baud`
                               and `line_format`); IPv6 as "[::1]:port" */
    uint32_t baud;          /* 4800 */
    const char* line_format;/* "parity=N data=8 stop=1" (copied) */
    uint32_t echo_time_ms;  /* 150: first-byte wait beyond the request's line time */
    uint32_t wait_time_ms;  /* 1000: longest collection of a reply; 0 = one read */
    uint32_t tries;         /* 3: exchanges per command, 1 to 10 */
    uint32_t filler_bytes;  /* 2: filler bytes behind each request, 0 to 30 */
    uint32_t in_queue;      /* 2048: driver queue sizes (Windows) */
    uint32_t out_queue;     /* 1024 */
    /* Since 1.2: */
    uint32_t check_terminal;/* 1: a reply must carry the terminal number of
                               its request; frames of other terminals (one
                               that answers late) are passed over like noise
                               within the same time limits.  0: the first
                               valid frame is the reply, whoever sent it (for
                               terminals that leave the field unfilled). */
    uint32_t net_allowance_ms;/* TALVO_NET_ALLOWANCE_DEFAULT: milliseconds
                               added to the first-byte wait, 0 to 600000;
                               the default gives a network line 40 and a
                               serial line 0 */
    uint32_t connect_time_ms;/* 3000: limit of a network line's connection
                               and of the device server's answers while
                               opening, 1 to 600000 */
} talvo_line_options;
/* net_allowance_ms: the allowance that fits the line's kind. */
#define TALVO_NET_ALLOWANCE_DEFAULT 0xFFFFFFFFu

/* A host that drives lines only does not want the 43 exports' port: loading
   the library opens the port named in VELDA.INI (and on Windows refuses to
   load without it).  TALVO_DEFER_PORT=1 in the environment before the
   library loads makes the load step open no port and read no settings file;
   the 43 exports then open it on their first command.  A Linux host that
   links libtalvo.so directly (so that it loads before main runs) writes
   TALVO_LINES_ONLY_HOST; at file scope in one of its sources instead. */
#if defined(__GNUC__) && !defined(_WIN32)
#ifdef __cplusplus
#define TALVO_LINES_ONLY_HOST \
    extern "C" __attribute__((visibility("default"))) const int talvo_lines_only; \
    extern "C" __attribute__((visibility("default"))) const int talvo_lines_only = 1
#else
#define TALVO_LINES_ONLY_HOST __attribute__((visibility("default"))) const int talvo_lines_only = 1
#endif
#else
#define TALVO_LINES_ONLY_HOST extern const int talvo_lines_only_unused
#endif

/* Fills `options` with the defaults of a new settings file (device "COM2"). */
TALVO_API void TALVO_CALL talvo_line_options_init(talvo_line_options* options);
/* Fills the first `size` bytes of `options` (no more than the library's own
   structure) with the defaults and sets `size` to what was filled.  The
   exported talvo_line_options_init fills the 1.1 structure only, never a
   byte beyond it, for hosts built against 1.1; with this header a call of
   talvo_line_options_init(&o) is this function with sizeof o, so every field
   the host knows is filled.  Bindings call this function with the size of
   their structure. */
TALVO_API void TALVO_CALL talvo_line_options_init_size(talvo_line_options* options, size_t size);
#define talvo_line_options_init(options) talvo_line_options_init_size((options), sizeof *(options))
/* Opens the device for exclusive use and sets it up.  On 0 `*line` is a new
   handle; on failure `*line` is null and the code says why (TALVO_E_NO_DEVICE,
   TALVO_E_BUSY, TALVO_E_ACCESS, TALVO_E_LINE_FORMAT, TALVO_E_OPEN,
   TALVO_E_INVALID for bad options, TALVO_E_NO_MEMORY; for network lines
   TALVO_E_URL, TALVO_E_SCHEME, TALVO_E_URL_PORT, TALVO_E_RESOLVE,
   TALVO_E_CONNECT, TALVO_E_NEGOTIATE, and TALVO_E_LINE_FORMAT when a device
   server refuses the baud rate or format; talvo_line_error_text has its
   reason).  A network line's dropped connection is made again when the
   next request goes out.  No message box is
   shown and no settings file is touched.  After a line fault the line closes
   and reopens its device as the 43 exports do; a command on a line whose
   device is gone tries one reopen and returns TALVO_E_PORT if that fails. */
TALVO_API int TALVO_CALL talvo_line_open(const talvo_line_options* options, talvo_line** line);
/* Why the line's transport last failed to open, in one English line naming
   the device, the step and the system's reason ("cannot open /dev/ttyUSB0:
   No such file or directory"), copied into `text` (`size` bytes, always
   terminated; cut to fit).  On a network line also why its connection was
   lost or dropped (a device server that closed it, one that sends without
   pause), kept until a request goes out again.  With a null `line`: why the calling thread's last
   talvo_line_open that got as far as its device could not open it (empty
   once one opened).  Returns 0, TALVO_E_INVALID for a null `text` or a zero
   `size`, TALVO_E_CLOSED for a closed handle. */
TALVO_API int TALVO_CALL talvo_line_error_text(talvo_line* line, char* text, size_t size);
/* Checks the form of a device name without opening anything: 0 for a
   serial device name or a well-formed tcp:// or rfc2217:// URL, else
   TALVO_E_URL, TALVO_E_SCHEME or TALVO_E_URL_PORT with the reason copied
   into `why` (`size` bytes, always terminated; may be null).  `*network`
   (may be null) is set to 1 for a network line, 0 for a serial one.
   TALVO_E_INVALID for a null `device`.  Thread-safe. */
TALVO_API int TALVO_CALL talvo_device_check(const char* device, int* network, char* why, size_t size);
/* Closes the device and invalidates the handle; waits for a call in progress
   on the line.  TALVO_E_CLOSED for a null or already closed handle. */
TALVO_API int TALVO_CALL talvo_line_close(talvo_line* line);
/* The result of the line's last command (0 or a TALVO_E_* code). */
TALVO_API int TALVO_CALL talvo_line_last_error(talvo_line* line);

/* Trace: `fn` is called for every frame the line sends (direction 0) and
   every reply it collects (direction 1, also when empty), on the calling
   thread under the line's lock, with the time in milliseconds since 1970
   (UTC), the terminal and command of the request, and the bytes (valid during
   the call only; a request's bytes include its filler bytes).  A null `fn`
   switches the trace off.  The callback must
   not call into the same line. */
typedef void (TALVO_CALL* talvo_trace_fn)(void* user, int direction, int64_t time_ms, int terminal, int command,
                                         const unsigned char* bytes, size_t length);
TALVO_API int TALVO_CALL talvo_line_set_trace(talvo_line* line, talvo_trace_fn fn, void* user);

/* ---- Commands on a line --------------------------------------------------
   Each sends one request to terminal `terminal` (0-255), repeated up to
   `tries` times while the exchange fails, and returns 0 when the terminal
   accepted, TALVO_E_REFUSED when it answered with another status, or the
   exchange's code.  Outputs are written only on 0. */

/* Status request (code 0x10). */
TALVO_API int TALVO_CALL talvo_status(talvo_line* line, int terminal);
/* Clears the terminal's memory (0x4A). */
TALVO_API int TALVO_CALL talvo_clear_memory(talvo_line* line, int terminal);

/* CMW text: 12 characters.  read: `size` at least 13 (12 and a zero).
   set: 1 to 12 characters (no more), padded with '0' to 12. */
TALVO_API int TALVO_CALL talvo_cmw_read(talvo_line* line, int terminal, char* text, size_t size);
TALVO_API int TALVO_CALL talvo_cmw_set(talvo_line* line, int terminal, const char* text);
/* mdeb amount in cents, 0 to 999999 (9999.99). */
TALVO_API int TALVO_CALL talvo_mdeb_read(talvo_line* line, int terminal, int32_t* cents);
TALVO_API int TALVO_CALL talvo_mdeb_set(talvo_line* line, int terminal, int32_t cents);

/* Card key: six hex digits (either case; sent in upper case).  Exactly six
   characters are read, no terminator is needed and a seventh is never
   looked at; a zero byte or any other character among them is refused. */
TALVO_API int TALVO_CALL talvo_key_check(talvo_line* line, int terminal, const char* key);
TALVO_API int TALVO_CALL talvo_key_set(talvo_line* line, int terminal, const char* key);
/* The four key flags: flags[0..3] receive 1 or 0; `count` at least 4. */
TALVO_API int TALVO_CALL talvo_key_flags(talvo_line* line, int terminal, int32_t* flags, size_t count);

/* Blacklist: card numbers of exactly 6 characters, passed concatenated
   (6 x count characters, no separators, no terminators needed).  add and
   set take 1 to 255 cards; `position` is 0 to 65535.  remove reads exactly
   the six characters of its card.  add appends: it is sent once, and when
   no answer comes the list is read back and only the cards it lacks are
   sent again (within the line's tries), so that no card is added twice. */
TALVO_API int TALVO_CALL talvo_blacklist_add(talvo_line* line, int terminal, const char* cards, size_t count);
TALVO_API int TALVO_CALL talvo_blacklist_remove(talvo_line* line, int terminal, const char* card);
TALVO_API int TALVO_CALL talvo_blacklist_set(talvo_line* line, int terminal, unsigned position, const char* cards,
                                             size_t count);
TALVO_API int TALVO_CALL talvo_blacklist_clear(talvo_line* line, int terminal);
/* Reads up to 32 cards from `position` into `cards` (room for `capacity`
   cards of 6 characters, no terminators); `*count` receives the number read.
   TALVO_E_BUFFER, with `*count` the number the reply holds, when they do not
   fit. */
TALVO_API int TALVO_CALL talvo_blacklist_read(talvo_line* line, int terminal, unsigned position, char* cards,
                                              size_t capacity, size_t* count);

/* Price menu: 0 to 255 prices in cents, each 0 to 999999; one bad price
   refuses the whole list. */
TALVO_API int TALVO_CALL talvo_menu_set(talvo_line* line, int terminal, const int32_t* cents, size_t count);
/* Reads the menu into `cents` (room for `capacity`); `*count` receives the
   number of prices (0 for an empty menu, which is not an error). */
TALVO_API int TALVO_CALL talvo_menu_read(talvo_line* line, int terminal, int32_t* cents, size_t capacity,
                                         size_t* count);
TALVO_API int TALVO_CALL talvo_menu_clear(talvo_line* line, int terminal);

/* Subsidy list. */
TALVO_API int TALVO_CALL talvo_subsidy_clear(talvo_line* line, int terminal);
/* Maximum subsidy in cents, 0 to 999999. */
TALVO_API int TALVO_CALL talvo_subsidy_set_max(talvo_line* line, int terminal, int32_t cents);
/* The subsidy time text, sent as it stands (at most 1024 characters). */
TALVO_API int TALVO_CALL talvo_subsidy_set_time(talvo_line* line, int terminal, const char* text);
/* Adds `count` entries (1 to 255) of exactly 12 characters, concatenated,
   at list position `position` (0 to 65535).  Sent once, whatever the line's
   tries: the entries are appended, and an add that went unanswered may have
   arrived (the result then says so; write the list again from a clear). */
TALVO_API int TALVO_CALL talvo_subsidy_add(talvo_line* line, int terminal, unsigned position, const char* entries,
                                           size_t count);

/* Date and time as fields.  The payment terminal's clock keeps two-digit
   years (2000 to 2099) and minutes; second is sent by the attendance clock
   and ignored by the payment clock. */
typedef struct talvo_datetime {
    int32_t year, month, day, hour, minute, second;
} talvo_datetime;
/* A time of day (one of the 8 time zones). */
typedef struct talvo_time_of_day {
    int32_t hour, minute;
} talvo_time_of_day;
/* An attendance zone: two times of day and a two-character code. */
typedef struct talvo_attend_zone {
    talvo_time_of_day start, end;
    char code[4]; /* two characters and a zero */
} talvo_attend_zone;
#define TALVO_ZONES 8

/* Payment terminal clock (codes 0x3A / 0x2A).  set refuses a date that does
   not exist and years outside 2000 to 2099. */
TALVO_API int TALVO_CALL talvo_clock_read(talvo_line* line, int terminal, talvo_datetime* out);
TALVO_API int TALVO_CALL talvo_clock_set(talvo_line* line, int terminal, const talvo_datetime* when);
/* The 8 time zones; `count` must be TALVO_ZONES (8) for reading as for
   writing: any other count is TALVO_E_INVALID and nothing is sent. */
TALVO_API int TALVO_CALL talvo_zones_read(talvo_line* line, int terminal, talvo_time_of_day* zones, size_t count);
TALVO_API int TALVO_CALL talvo_zones_set(talvo_line* line, int terminal, const talvo_time_of_day* zones,
                                         size_t count);
/* Blocks (locks) and unblocks the terminal. */
TALVO_API int TALVO_CALL talvo_lock(talvo_line* line, int terminal);
TALVO_API int TALVO_CALL talvo_unlock(talvo_line* line, int terminal);

/* Attendance terminals: the 8 zones (`count` must be 8, TALVO_E_INVALID
   otherwise, for reading as for writing), reason texts by
   number (0-255; up to 8 bytes, a shorter text ends with 0x0F on the line)
   and the clock (14 digits yyyymmddhhmmss on the line, years 1000-9999). */
TALVO_API int TALVO_CALL talvo_attend_zones_read(talvo_line* line, int terminal, talvo_attend_zone* zones,
                                                 size_t count);
TALVO_API int TALVO_CALL talvo_attend_zones_set(talvo_line* line, int terminal, const talvo_attend_zone* zones,
                                                size_t count);
TALVO_API int TALVO_CALL talvo_attend_reason_set(talvo_line* line, int terminal, int number, const char* text);
/* `size` at least 9 (8 bytes and a zero). */
TALVO_API int TALVO_CALL talvo_attend_reason_read(talvo_line* line, int terminal, int number, char* text,
                                                  size_t size);
TALVO_API int TALVO_CALL talvo_attend_clock_read(talvo_line* line, int terminal, talvo_datetime* out);
TALVO_API int TALVO_CALL talvo_attend_clock_set(talvo_line* line, int terminal, const talvo_datetime* when);

/* ---- Records in two steps ------------------------------------------------ */

/* Record types. */
#define TALVO_RECORD_PAYMENT 5   /* "05": a payment, amount negative */
#define TALVO_RECORD_DEPOSIT 13  /* "13" */
#define TALVO_RECORD_SUBSIDY 14  /* "14" */

/* A decoded transaction record.  The year is not sent by the terminal: it
   is the latest year in which the record lies at most one day ahead of the
   host's clock (1 February 00:00 read at 31 January 23:59 is of this year,
   1 January read on 31 December of the next); a record further ahead gets
   the current year, or the one before when its month is still ahead. */
typedef struct talvo_record {
    int32_t terminal;
    char card[8];                 /* six characters and a zero */
    int32_t type;                 /* TALVO_RECORD_* */
    int32_t amount_cents;         /* negative for payments */
    int32_t second_amount_cents;
    int32_t year, month, day, hour, minute;
} talvo_record;

/* Why a raw record of a batch was not decoded into a record. */
#define TALVO_RAW_KEPT 0       /* decoded, among the records handed back */
#define TALVO_RAW_DAMAGED 1    /* its check pair does not match */
#define TALVO_RAW_UNWANTED 2   /* a card number the host never wants (CLEAR, ABCD, above 999999) */

#define TALVO_BATCH_MAX 6
/* One batch as the terminal handed it over. */
typedef struct talvo_batch {
    int32_t terminal;
    int32_t mark;                             /* 16-bit batch mark */
    int32_t count;                            /* raw records in the batch, 0 to 6 */
    int32_t kept;                             /* of them decoded into records */
    int32_t status[TALVO_BATCH_MAX];          /* TALVO_RAW_* for each raw record */
    char raw[TALVO_BATCH_MAX][32];            /* the 28 raw characters and a zero */
} talvo_batch;

/* Reads one batch (code 0x37) without telling the terminal anything: the
   kept records go to `out` (room for `max`; 6 is always enough) in order,
   `*n` their number, `batch` the whole batch with the raw records and their
   status.  A terminal without records gives 0, `*n` 0 and batch->count 0.
   Fetching again before confirming returns the same batch. */
TALVO_API int TALVO_CALL talvo_records_fetch(talvo_line* line, int terminal, talvo_record* out, size_t max,
                                             size_t* n, talvo_batch* batch);
/* Tells the terminal to clear the batch (code 0x47 with its mark).  0 only
   when the terminal confirmed with the same mark.  TALVO_E_BATCH, nothing
   sent, when `batch` is not the one last fetched on this line from that
   terminal.  TALVO_E_REFUSED: the terminal refused the one request it got
   and certainly keeps the batch.  TALVO_E_UNCONFIRMED or an exchange's code:
   the terminal may or may not have cleared it; fetch again to see (the same
   raw records come back if it kept them, and may be confirmed again; a
   host that stored them must not store them twice). */
TALVO_API int TALVO_CALL talvo_records_confirm(talvo_line* line, int terminal, const talvo_batch* batch);
/* fetch + append to the store file at `path` (created when missing) +
   flush + confirm: AutoReadJyzm on a line, the same collection as
   talvo_records_collect_into with a store file and no log.  `*stored` the
   records stored (0 unless the call returns 0).  Damaged and unwanted raw
   records are not stored and not logged anywhere. */
TALVO_API int TALVO_CALL talvo_records_collect(talvo_line* line, int terminal, const char* path, size_t* stored);

/* "The same batch": 1 when `a` and `b` are one batch handed over twice,
   0 when they are not, TALVO_E_INVALID for a null pointer or a count outside
   0 to 6.  A batch is recognised by its terminal, its count and its raw
   records byte for byte (the 28 characters of each of the `count` records),
   whatever its mark: a terminal may mark a batch anew when it hands it
   again.  Two different batches with the same raw records would need the
   same cards, amounts, types and minutes in the same order, so the rule is
   meant for one window only: after a batch was stored and its confirmation
   got no clear answer, the terminal's next batch is either that batch again
   (same) or a new one (the terminal cleared the first).  Outside that
   window an equal batch is a new one.  The library's collections use this
   rule; a host that keeps its own bookkeeping of stored batches should too.
   Sends nothing; thread-safe. */
TALVO_API int TALVO_CALL talvo_batch_same(const talvo_batch* a, const talvo_batch* b);

/* A collection that stores batches where the host wants them.  The
   library calls the host's storage with one of: */
#define TALVO_COLLECT_STORE 1    /* store the batch's records durably: return
                                    0 only once they are safe (on disk,
                                    committed), anything else for a failure */
#define TALVO_COLLECT_WITHDRAW 2 /* the batch just stored stays on the
                                    terminal (it refused the one confirmation
                                    it got) and comes again: take it out of the
                                    storage again; 0 once it is out */
/* `batch` is the whole batch (raw records and their status: damaged and
   unwanted ones are for the host to keep or drop), `records` its `n` kept
   records (null when n is 0); both are valid during the call only.  The
   call comes on the collecting thread under the line's lock: it must not
   call functions on the same line. */
typedef int (TALVO_CALL* talvo_collect_fn)(void* user, int action, const talvo_batch* batch,
                                          const talvo_record* records, size_t n);

typedef struct talvo_collect_args {
    uint32_t size;          /* sizeof(talvo_collect_args) */
    talvo_collect_fn store; /* the host's storage, or null for a store file: */
    void* user;             /* passed to `store` as it is */
    const char* path;       /* the store file (created when missing) when `store` is null; else null */
    const char* log_path;   /* damaged and unwanted raw records are appended to
                               this file as AutoReadJyzm logs them to ErrRec.doc;
                               null: no log */
} talvo_collect_args;

typedef struct talvo_collect_result {
    talvo_batch batch;      /* the batch as fetched (count 0: none came) */
    int32_t stored;         /* records stored by this call that stay stored */
    int32_t rejected;       /* raw records not decoded: damaged or unwanted */
    int32_t total_cents;    /* the sum of the stored records' amounts */
    int32_t replayed;       /* 1: the batch was stored before, its confirmation
                               went unanswered, and the terminal handed it
                               again: it was not stored again */
    int32_t unconfirmed;    /* 1: the batch is stored and the terminal may
                               still hold it; the line remembers it (see below) */
} talvo_collect_result;

/* Collects one batch from the terminal, stored before the terminal hears of
   it: fetch (code 0x37), store (the host's `store` callback, or the store
   file at `path`, appended and flushed), confirm (0x47 with the batch's
   mark).  Returns 0 when the terminal had no records or confirmed the
   batch; the fetch's code when no batch came (nothing stored); TALVO_E_STORE
   when the storage failed (nothing confirmed: the terminal keeps the batch);
   TALVO_E_REFUSED when the terminal refused the one confirmation it got:
   the batch is withdrawn from the storage (TALVO_COLLECT_WITHDRAW) and comes
   again; TALVO_E_UNCONFIRMED or an exchange's code when the confirmation got
   no clear answer: the batch stays stored (`unconfirmed` 1) and the line
   remembers it, so that when the terminal hands the same batch again
   (talvo_batch_same) it is confirmed without being stored twice
   (`replayed` 1).  A batch that cannot be withdrawn is remembered the same
   way.  Only a restart of the host in that window can store a batch twice:
   a host that keeps its storage across restarts checks the last batch it
   stored itself (talvo_batch_same).  `*result` is written whenever the
   terminal was asked for a batch (zero-filled but for batch.terminal when
   none came); TALVO_E_INVALID and TALVO_E_CLOSED leave it alone.  Refused with
   TALVO_E_INVALID, nothing sent: null `args` or `result`, a `size` not
   sizeof(talvo_collect_args), both or neither of `store` and `path`, a path
   or log path empty or longer than 4096 characters.  Nothing is allocated
   for the host.  Threads: the line is held for the whole collection, the
   storage callback included, which runs on the calling thread; other lines
   go on in parallel. */
TALVO_API int TALVO_CALL talvo_records_collect_into(talvo_line* line, int terminal, const talvo_collect_args* args,
                                                    talvo_collect_result* result);

/* The 44-byte store record of the 43 exports (see SperateJyzmTxt). */
TALVO_API int TALVO_CALL talvo_record_to_store(const talvo_record* record, void* store_record);
TALVO_API int TALVO_CALL talvo_record_from_store(const void* store_record, talvo_record* record);

/* ---- Record store files -------------------------------------------------- */

typedef struct talvo_store talvo_store;
/* Opens a store file for reading (shared); TALVO_E_STORE when it is not a
   store or its header counts more records than the file holds, and at once,
   without waiting, for anything that is not a regular file (a folder, a
   FIFO, a pipe, a device).  A file shorter than a store's header (an empty
   file) is a store without records, as the collection functions take it.
   A store handle is a number never given again: after talvo_store_close,
   that handle (like null or any the library did not give) makes the store
   functions return TALVO_E_CLOSED, a second close included.  One store may
   be used from several threads; its calls run one at a time. */
TALVO_API int TALVO_CALL talvo_store_open(const char* path, talvo_store** store);
TALVO_API int TALVO_CALL talvo_store_close(talvo_store* store);
TALVO_API int TALVO_CALL talvo_store_count(talvo_store* store, size_t* count);
/* Reads up to `max` records from record `index` on; `*n` the number read
   (fewer at the end of the store).  A stored record that does not read as a
   transaction (an unknown type, damaged text) comes back all zero, type 0,
   in its place. */
TALVO_API int TALVO_CALL talvo_store_read(talvo_store* store, size_t index, talvo_record* out, size_t max, size_t* n);
/* Appends `n` records to the store at `path` (a regular file, created when
   missing, never truncated) and flushes them; the count rises only once they
   are on disk.  TALVO_E_STORE, nothing written, when the file is held by
   another writer or is no store.  TALVO_E_INVALID, nothing written, for a
   record the store cannot hold: among others either amount outside
   -999999 to 999999 cents. */
TALVO_API int TALVO_CALL talvo_store_append(const char* path, const talvo_record* records, size_t n);

#ifdef __cplusplus
}
#endif

#endif /* TALVO_H */
