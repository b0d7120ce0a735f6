// Talvo.cs - .NET declarations of TALVO.dll (Windows) and libtalvo.so (Linux).
//
// One file to add to a host project:
//   NativeMethods  the 43 exports and the line API as [DllImport] declarations,
//                  with the calling convention, buffer sizes and layouts of
//                  talvo.h;
//   Terminals      a wrapper that makes the 43 exports safe to call: buffers
//                  of the right size, arguments checked before anything is
//                  sent, blocks handed over by the library released;
//   LineHandle,
//   StoreHandle    SafeHandles that close lines and stores they own.
//
//   Line           a serial line driven through the line API: one method per
//                  command, amounts as decimal, failures thrown as TalvoError
//                  subclasses (PortError, NoReplyError, RefusedError...), the
//                  names of the Python package's exceptions.
//
// Windows: compile as it is; TALVO.dll beside the program (x86: the DLL is
// 32-bit, so the host runs as a 32-bit process).
// Linux (Mono, .NET): compile with -define:TALVO_LINUX; libtalvo.so is looked
// up by the dynamic linker (LD_LIBRARY_PATH, or an installed library).
//
// TALVO_DEFER_PORT: these declarations set it to 1 before the library loads
// (unless the host has set it), so loading opens no port and reads no
// VELDA.INI; the 43 exports open their port on their first command.  A host
// that wants the port opened at load (and, on Windows, the load refused
// without it) sets TALVO_DEFER_PORT=0 in its environment before it starts.
//
// Texts are 8-bit in the terminals' code page (GBK on Windows); the wrapper's
// Terminals.TextEncoding says how .NET strings become those bytes.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;

namespace Talvo
{
    // ---- Records and other structures ------------------------------------

    /// <summary>The 44-byte record of the store file and of SperateJyzmTxt
    /// (texts zero-terminated, amounts as 32-bit floats).  Offsets: terminal
    /// 0, card 4, type 11, amount 16, date 20, time 31, second amount 40.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1, Size = 44, CharSet = CharSet.Ansi)]
    public struct StoreRecord
    {
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 4)] public string TerminalText;  // "%03d"
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 7)] public string CardNumber;    // six characters
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 3)] public string TypeText;      // "05", "13", "14"
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 2)] public byte[] Gap1;
        public float Amount;                                                              // negative for "05"
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 11)] public string DateText;     // "yyyy/mm/dd"
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 6)] public string TimeText;      // "hh:mm"
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 3)] public byte[] Gap2;
        public float SecondAmount;
    }

    /// <summary>talvo_line_options.  Fill with NativeMethods.talvo_line_options_init_size;
    /// Device and LineFormat are pointers to 8-bit texts (see NativeMethods.OpenLine).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct LineOptions
    {
        public uint Size;
        public IntPtr Device;
        public uint Baud;
        public IntPtr LineFormat;
        public uint EchoTimeMs;
        public uint WaitTimeMs;
        public uint Tries;
        public uint FillerBytes;
        public uint InQueue;
        public uint OutQueue;
        /// <summary>1: a reply must carry the terminal number asked (since 1.2).</summary>
        public uint CheckTerminal;
        /// <summary>First-byte allowance of a network line, ms (0xFFFFFFFF: by the line's kind).</summary>
        public uint NetAllowanceMs;
        /// <summary>Connect time limit of a network line, ms.</summary>
        public uint ConnectTimeMs;
    }

    /// <summary>talvo_datetime.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct TalvoDateTime
    {
        public int Year, Month, Day, Hour, Minute, Second;

        public TalvoDateTime(DateTime t)
        {
            Year = t.Year; Month = t.Month; Day = t.Day; Hour = t.Hour; Minute = t.Minute; Second = t.Second;
        }

        public DateTime ToDateTime() { return new DateTime(Year, Month, Day, Hour, Minute, Second); }
    }

    /// <summary>talvo_time_of_day.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct TimeOfDay
    {
        public int Hour, Minute;
        public TimeOfDay(int hour, int minute) { Hour = hour; Minute = minute; }
    }

    /// <summary>talvo_attend_zone: 20 bytes.</summary>
    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
    public struct AttendZone
    {
        public TimeOfDay Start;
        public TimeOfDay End;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 4)] public string Code;  // two characters
    }

    /// <summary>talvo_record: 44 bytes, money in cents.</summary>
    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
    public struct Record
    {
        public int Terminal;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 8)] public string Card;
        public int Type;                 // 5 payment, 13 deposit, 14 subsidy
        public int AmountCents;          // negative for payments
        public int SecondAmountCents;
        public int Year, Month, Day, Hour, Minute;
    }

    /// <summary>talvo_batch: 232 bytes, one batch as the terminal handed it over.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct Batch
    {
        public int Terminal;
        public int Mark;
        public int Count;                // raw records, 0 to 6
        public int Kept;                 // of them decoded into records
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 6)] public int[] Status;   // 0 kept, 1 damaged, 2 unwanted
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 6 * 32)] public byte[] Raw; // 6 x (28 characters and a zero)

        public string RawRecord(int i)
        {
            if (i < 0 || i >= Count || Raw == null) throw new ArgumentOutOfRangeException("i");
            return Encoding.ASCII.GetString(Raw, 32 * i, 28);
        }
    }

    /// <summary>The storage callback of talvo_records_collect_into: `action` 1 stores the
    /// batch's `n` records (an array of Record at `records`), 2 withdraws the batch
    /// just stored; return 0 once done, anything else for a failure.  Both are
    /// valid during the call only.</summary>
    [UnmanagedFunctionPointer(NativeMethods.Convention)]
    public delegate int CollectCallback(IntPtr user, int action, [In] ref Batch batch, IntPtr records, UIntPtr n);

    /// <summary>talvo_collect_args: Size = Marshal.SizeOf(typeof(CollectArgs)); either
    /// Store (kept alive by the caller during the call) or Path.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct CollectArgs
    {
        public uint Size;
        public CollectCallback Store;
        public IntPtr User;
        [MarshalAs(UnmanagedType.LPStr)] public string Path;
        [MarshalAs(UnmanagedType.LPStr)] public string LogPath;  // null: no log
    }

    /// <summary>talvo_collect_result: what became of one collection.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct NativeCollectResult
    {
        public Batch Batch;
        public int Stored;
        public int Rejected;
        public int TotalCents;
        public int Replayed;     // 1: a batch stored before, handed again, not stored again
        public int Unconfirmed;  // 1: stored, and perhaps still on the terminal
    }

    /// <summary>The trace callback of talvo_line_set_trace: direction 0 for a frame
    /// sent, 1 for a reply collected; `bytes` valid during the call only.</summary>
    [UnmanagedFunctionPointer(NativeMethods.Convention)]
    public delegate void TraceCallback(IntPtr user, int direction, long timeMs, int terminal, int command,
                                       IntPtr bytes, UIntPtr length);

    /// <summary>A line handle; closing it (Dispose, or the finalizer) calls talvo_line_close.</summary>
    public sealed class LineHandle : SafeHandle
    {
        public LineHandle() : base(IntPtr.Zero, true) { }
        public override bool IsInvalid { get { return handle == IntPtr.Zero; } }
        protected override bool ReleaseHandle() { return NativeMethods.talvo_line_close(handle) == 0; }
    }

    /// <summary>A store handle; closing it calls talvo_store_close.</summary>
    public sealed class StoreHandle : SafeHandle
    {
        public StoreHandle() : base(IntPtr.Zero, true) { }
        public override bool IsInvalid { get { return handle == IntPtr.Zero; } }
        protected override bool ReleaseHandle() { return NativeMethods.talvo_store_close(handle) == 0; }
    }

    // ---- Loading ------------------------------------------------------------

    /// <summary>Loading the library opens the port of the 43 exports' VELDA.INI
    /// (writing the file with its defaults when missing), and on Windows refuses
    /// to load without that port, unless TALVO_DEFER_PORT=1 is in the
    /// environment: then the first command of the 43 exports opens the port,
    /// and a host that drives lines only never touches it.  The variable is set
    /// before the first call of these declarations loads the library, unless
    /// the host set TALVO_DEFER_PORT itself (0: open the port at load).</summary>
    public static class DeferredPort
    {
        static bool done;

        /// <summary>Sets TALVO_DEFER_PORT=1 unless it is set.  Runs by itself before
        /// Line, Terminals and NativeMethods are first used; a host calling
        /// NativeMethods directly under Mono, which may bind the library as soon as
        /// a method calling it is compiled, calls it first thing in Main.</summary>
        public static void Prepare()
        {
            if (done) return;
            done = true;
            if (Environment.GetEnvironmentVariable("TALVO_DEFER_PORT") != null) return;
#if TALVO_LINUX
            // The library reads the C environment; .NET on Linux keeps its own copy.
            setenv("TALVO_DEFER_PORT", "1", 0);
#endif
            Environment.SetEnvironmentVariable("TALVO_DEFER_PORT", "1");
        }

#if TALVO_LINUX
        [DllImport("libc.so.6", CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi, BestFitMapping = false)]
        static extern int setenv(string name, string value, int overwrite);
#endif
    }

    // ---- The declarations ------------------------------------------------

    /// <summary>The library's functions as it exports them.  Output buffers are
    /// the caller's, at least the size given in each comment.</summary>
    public static class NativeMethods
    {
#if TALVO_LINUX
        public const string Library = "talvo";
        public const CallingConvention Convention = CallingConvention.Cdecl;
#else
        public const string Library = "TALVO.dll";
        public const CallingConvention Convention = CallingConvention.StdCall;
#endif

        static NativeMethods() { DeferredPort.Prepare(); }

        // Error codes (GetError and the line API).
        public const int TALVO_OK = 0;
        public const int TALVO_E_PORT = -1;
        public const int TALVO_E_BAD_REPLY = -2;
        public const int TALVO_E_NO_REPLY = -3;
        public const int TALVO_E_NOT_RUN = -4;
        public const int TALVO_E_REPLY_CHECK = -6;
        public const int TALVO_E_REFUSED = -7;
        public const int TALVO_E_SHORT_REPLY = -8;
        public const int TALVO_E_INVALID = -9;
        public const int TALVO_E_BUFFER = -10;
        public const int TALVO_E_CLOSED = -11;
        public const int TALVO_E_NO_MEMORY = -12;
        public const int TALVO_E_NO_DEVICE = -13;
        public const int TALVO_E_BUSY = -14;
        public const int TALVO_E_ACCESS = -15;
        public const int TALVO_E_LINE_FORMAT = -16;
        public const int TALVO_E_OPEN = -17;
        public const int TALVO_E_STORE = -18;
        public const int TALVO_E_BATCH = -19;
        public const int TALVO_E_UNCONFIRMED = -20;
        public const int TALVO_E_INTERNAL = -21;
        // Network lines (device servers named tcp://host:port or rfc2217://host:port).
        public const int TALVO_E_URL = -22;
        public const int TALVO_E_SCHEME = -23;
        public const int TALVO_E_URL_PORT = -24;
        public const int TALVO_E_RESOLVE = -25;
        public const int TALVO_E_CONNECT = -26;
        public const int TALVO_E_NEGOTIATE = -27;

        public const int TALVO_RECORD_PAYMENT = 5;
        public const int TALVO_RECORD_DEPOSIT = 13;
        public const int TALVO_RECORD_SUBSIDY = 14;
        public const int TALVO_ZONES = 8;
        public const int TALVO_BATCH_MAX = 6;

        // ---- The 43 exports ----

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int GetError();
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern void SetDisplayRecp(int on);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern void SetDisplaySend(int on);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int GetDisplayRecp();
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int GetDisplaySend();
        /// <summary>`buffer` large enough for the formatted text (see Terminals.FormatFloat).</summary>
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false)]
        public static extern int SetFloatInStr(StringBuilder buffer, string format, float value);
        /// <summary>`buffer`: 9 bytes ("It's me!").</summary>
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int IsFileExist(StringBuilder buffer);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int InqStat(int terminal);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int ClearRAM(int terminal);
        /// <summary>`text`: 13 bytes.</summary>
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int ReadCMW(int terminal, StringBuilder text);
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int Setcmw(int terminal, string text);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int Readmdeb(int terminal, ref float amount);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int Setmdeb(int terminal, float amount);

        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int AddHMD(int terminal, string entries);
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int ReduHMD(int terminal, string entry);
        /// <summary>`entries`: 6 x `count` bytes.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int SetHMD(int terminal, int position, [In] byte[] entries, int count);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int ClearHMD(int terminal);
        /// <summary>On 1 with count > 0, `data` is a block of 6 x count bytes to release
        /// with Terminals.FreeBlock.  Pass IntPtr.Zero in.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int ReadHMD(int terminal, int position, ref IntPtr data, ref int count);

        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int CheckKey(int terminal, int unused1, int unused2, string keyText);
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int SetKey(int terminal, int unused1, int unused2, string keyText);
        /// <summary>`flags`: 4 integers.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int Inqkey(int terminal, [Out] int[] flags);

        /// <summary>`prices`: `count` floats.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int Setmenu(int terminal, [In] float[] prices, int count);
        /// <summary>On 1, `prices` is a block of `count` floats to release with Terminals.FreeBlock.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int ReadMenu(int terminal, ref IntPtr prices, ref int count);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int Clearmenu(int terminal);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int ClearList(int terminal);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int SetMaxbt(int terminal, double amount);
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int SetBtTime(int terminal, string text);
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int AddBtList(int terminal, int position, string entries);

        /// <summary>Always 1; `zones` receives a 120-byte block to release with Terminals.FreeBlock.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int ReadTimeZone(int terminal, ref IntPtr zones);
        /// <summary>`zones`: 120 bytes (8 slots of 15).</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int SetTimeZone(int terminal, [In] byte[] zones);
        /// <summary>`timeText`: 15 bytes.</summary>
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int ReadMachTime(int terminal, StringBuilder timeText);
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int SetMachTime(int terminal, string timeText);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int BlockMach(int terminal);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int UnBlockMach(int terminal);

        /// <summary>`zones`: 120 bytes (8 slots of 15).</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int SetAttendTimeZone(int terminal, [In] byte[] zones);
        /// <summary>Always 1; `zones` receives a 120-byte block to release with Terminals.FreeBlock.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int ReadAttendTimeZone(int terminal, ref IntPtr zones);
        /// <summary>`reason`: 8 bytes.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int SetAttendReason(int terminal, int reasonNo, [In] byte[] reason);
        /// <summary>`reason`: 9 bytes.</summary>
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int ReadAttendReason(int terminal, int reasonNo, StringBuilder reason);
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int SetAttendTime(int terminal, string timeText);
        /// <summary>`timeText`: 14 bytes, not terminated.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int ReadAttendTime(int terminal, [Out] byte[] timeText);

        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int AutoReadJyzm(int terminal, ref int count, ref float total, string path);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int Clearjyzm(int terminal, int count, ref ushort mark);
        /// <summary>`raw`: 28 bytes.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int SperateJyzmTxt([In] byte[] raw, int terminal, ref StoreRecord record, int reserved);

        // ---- The line API ----

        /// <summary>A static text: read with Marshal.PtrToStringAnsi, never freed (see Terminals.ErrorText).</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern IntPtr talvo_strerror(int code);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern IntPtr talvo_version();
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_version_number();

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern void talvo_line_options_init(ref LineOptions options);
        /// <summary>Fills `size` bytes of the options with the defaults: call it with
        /// Marshal.SizeOf(typeof(LineOptions)).</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern void talvo_line_options_init_size(ref LineOptions options, UIntPtr size);
        /// <summary>Checks a device name's form (a serial name or a tcp:// or rfc2217:// URL).</summary>
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int talvo_device_check(string device, out int network, byte[] why, UIntPtr size);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_line_open([In] ref LineOptions options, out LineHandle line);
        /// <summary>Called by LineHandle; a host disposes the handle instead.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_line_close(IntPtr line);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_line_last_error(LineHandle line);
        /// <summary>Why the line (or, with IntPtr.Zero, this thread's last failed open) could not open its device.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_line_error_text(IntPtr line, byte[] text, UIntPtr size);
        /// <summary>Keep `fn` referenced while the line may call it.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_line_set_trace(LineHandle line, TraceCallback fn, IntPtr user);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_status(LineHandle line, int terminal);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_clear_memory(LineHandle line, int terminal);
        /// <summary>`size` at least 13.</summary>
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int talvo_cmw_read(LineHandle line, int terminal, StringBuilder text, UIntPtr size);
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int talvo_cmw_set(LineHandle line, int terminal, string text);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_mdeb_read(LineHandle line, int terminal, out int cents);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_mdeb_set(LineHandle line, int terminal, int cents);

        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int talvo_key_check(LineHandle line, int terminal, string key);
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int talvo_key_set(LineHandle line, int terminal, string key);
        /// <summary>`flags`: `count` integers, at least 4.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_key_flags(LineHandle line, int terminal, [Out] int[] flags, UIntPtr count);

        /// <summary>`cards`: 6 x `count` bytes.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_blacklist_add(LineHandle line, int terminal, [In] byte[] cards, UIntPtr count);
        /// <summary>`card`: 6 bytes.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_blacklist_remove(LineHandle line, int terminal, [In] byte[] card);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_blacklist_set(LineHandle line, int terminal, uint position, [In] byte[] cards,
                                                     UIntPtr count);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_blacklist_clear(LineHandle line, int terminal);
        /// <summary>`cards`: 6 x `capacity` bytes.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_blacklist_read(LineHandle line, int terminal, uint position, [Out] byte[] cards,
                                                      UIntPtr capacity, out UIntPtr count);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_menu_set(LineHandle line, int terminal, [In] int[] cents, UIntPtr count);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_menu_read(LineHandle line, int terminal, [Out] int[] cents, UIntPtr capacity,
                                                 out UIntPtr count);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_menu_clear(LineHandle line, int terminal);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_subsidy_clear(LineHandle line, int terminal);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_subsidy_set_max(LineHandle line, int terminal, int cents);
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int talvo_subsidy_set_time(LineHandle line, int terminal, string text);
        /// <summary>`entries`: 12 x `count` bytes.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_subsidy_add(LineHandle line, int terminal, uint position, [In] byte[] entries,
                                                   UIntPtr count);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_clock_read(LineHandle line, int terminal, out TalvoDateTime when);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_clock_set(LineHandle line, int terminal, [In] ref TalvoDateTime when);
        /// <summary>`zones`: 8 (count must be 8).</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_zones_read(LineHandle line, int terminal, [Out] TimeOfDay[] zones, UIntPtr count);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_zones_set(LineHandle line, int terminal, [In] TimeOfDay[] zones, UIntPtr count);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_lock(LineHandle line, int terminal);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_unlock(LineHandle line, int terminal);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_attend_zones_read(LineHandle line, int terminal, [In, Out] AttendZone[] zones,
                                                         UIntPtr count);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_attend_zones_set(LineHandle line, int terminal, [In] AttendZone[] zones,
                                                        UIntPtr count);
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int talvo_attend_reason_set(LineHandle line, int terminal, int number, string text);
        /// <summary>`size` at least 9.</summary>
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int talvo_attend_reason_read(LineHandle line, int terminal, int number, StringBuilder text,
                                                          UIntPtr size);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_attend_clock_read(LineHandle line, int terminal, out TalvoDateTime when);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_attend_clock_set(LineHandle line, int terminal, [In] ref TalvoDateTime when);

        /// <summary>`records`: room for `max` (6 is always enough).</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_records_fetch(LineHandle line, int terminal, [In, Out] Record[] records, UIntPtr max,
                                                     out UIntPtr n, out Batch batch);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_records_confirm(LineHandle line, int terminal, [In] ref Batch batch);
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int talvo_records_collect(LineHandle line, int terminal, string path, out UIntPtr stored);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_records_collect_into(LineHandle line, int terminal, [In] ref CollectArgs args,
                                                            out NativeCollectResult result);
        /// <summary>1 when `a` and `b` are one batch handed over twice, 0 when not.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_batch_same([In] ref Batch a, [In] ref Batch b);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_record_to_store([In] ref Record record, out StoreRecord storeRecord);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_record_from_store([In] ref StoreRecord storeRecord, out Record record);

        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int talvo_store_open(string path, out StoreHandle store);
        /// <summary>Called by StoreHandle; a host disposes the handle instead.</summary>
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_store_close(IntPtr store);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_store_count(StoreHandle store, out UIntPtr count);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int talvo_store_read(StoreHandle store, UIntPtr index, [In, Out] Record[] records, UIntPtr max,
                                                  out UIntPtr n);
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int talvo_store_append(string path, [In] Record[] records, UIntPtr n);

        /// <summary>talvo_line_open with the defaults and the options given; `device`
        /// and `lineFormat` are copied by the library.  Returns 0 or a TALVO_E_* code.</summary>
        public static int OpenLine(string device, uint baud, out LineHandle line, uint echoTimeMs = 150,
                                   uint waitTimeMs = 1000, uint tries = 3, string lineFormat = null)
        {
            if (device == null) throw new ArgumentNullException("device");
            var options = new LineOptions();
            talvo_line_options_init_size(ref options, (UIntPtr)Marshal.SizeOf(typeof(LineOptions)));
            IntPtr dev = Marshal.StringToHGlobalAnsi(device);
            IntPtr format = lineFormat != null ? Marshal.StringToHGlobalAnsi(lineFormat) : IntPtr.Zero;
            try
            {
                options.Device = dev;
                if (format != IntPtr.Zero) options.LineFormat = format;
                options.Baud = baud;
                options.EchoTimeMs = echoTimeMs;
                options.WaitTimeMs = waitTimeMs;
                options.Tries = tries;
                return talvo_line_open(ref options, out line);
            }
            finally
            {
                Marshal.FreeHGlobal(dev);
                if (format != IntPtr.Zero) Marshal.FreeHGlobal(format);
            }
        }
    }

    // ---- Errors of the line API ------------------------------------------

    /// <summary>A call of the line API failed: the library's code and text, and
    /// the operation (such as "cmw").  Each code has its own subclass, named as
    /// the Python package names them.</summary>
    public class TalvoError : Exception
    {
        public int Code { get; private set; }
        public string Text { get; private set; }
        public string Operation { get; private set; }
        public string Detail { get; private set; }

        public TalvoError(int code, string text, string operation, string detail)
            : base(Describe(code, text, operation, detail))
        {
            Code = code; Text = text; Operation = operation ?? ""; Detail = detail ?? "";
        }

        static string Describe(int code, string text, string operation, string detail)
        {
            return (string.IsNullOrEmpty(operation) ? "" : operation + ": ") + text
                 + (string.IsNullOrEmpty(detail) ? "" : " (" + detail + ")")
                 + " [" + code.ToString(CultureInfo.InvariantCulture) + "]";
        }

        /// <summary>The exception for a library code, with the library's text.</summary>
        public static TalvoError For(int code, string operation, string detail = null)
        {
            string text = Terminals.ErrorText(code);
            switch (code)
            {
                case NativeMethods.TALVO_E_PORT: return new PortError(code, text, operation, detail);
                case NativeMethods.TALVO_E_BAD_REPLY: return new BadReplyError(code, text, operation, detail);
                case NativeMethods.TALVO_E_NO_REPLY: return new NoReplyError(code, text, operation, detail);
                case NativeMethods.TALVO_E_REPLY_CHECK: return new ReplyCheckError(code, text, operation, detail);
                case NativeMethods.TALVO_E_SHORT_REPLY: return new ShortReplyError(code, text, operation, detail);
                case NativeMethods.TALVO_E_REFUSED: return new RefusedError(code, text, operation, detail);
                case NativeMethods.TALVO_E_INVALID: return new InvalidArgumentError(code, text, operation, detail);
                case NativeMethods.TALVO_E_BUFFER: return new BufferSizeError(code, text, operation, detail);
                case NativeMethods.TALVO_E_CLOSED: return new ClosedError(code, text, operation, detail);
                case NativeMethods.TALVO_E_NO_DEVICE: return new NoDeviceError(code, text, operation, detail);
                case NativeMethods.TALVO_E_BUSY: return new DeviceBusyError(code, text, operation, detail);
                case NativeMethods.TALVO_E_ACCESS: return new AccessError(code, text, operation, detail);
                case NativeMethods.TALVO_E_LINE_FORMAT: return new LineFormatError(code, text, operation, detail);
                case NativeMethods.TALVO_E_OPEN: return new OpenError(code, text, operation, detail);
                case NativeMethods.TALVO_E_URL:
                case NativeMethods.TALVO_E_SCHEME:
                case NativeMethods.TALVO_E_URL_PORT: return new DeviceUrlError(code, text, operation, detail);
                case NativeMethods.TALVO_E_RESOLVE:
                case NativeMethods.TALVO_E_CONNECT: return new ConnectError(code, text, operation, detail);
                case NativeMethods.TALVO_E_NEGOTIATE: return new NegotiateError(code, text, operation, detail);
                case NativeMethods.TALVO_E_STORE: return new StoreError(code, text, operation, detail);
                case NativeMethods.TALVO_E_BATCH: return new BatchError(code, text, operation, detail);
                case NativeMethods.TALVO_E_UNCONFIRMED: return new UnconfirmedError(code, text, operation, detail);
                case NativeMethods.TALVO_E_NOT_RUN:
                case NativeMethods.TALVO_E_NO_MEMORY:
                case NativeMethods.TALVO_E_INTERNAL: return new InternalError(code, text, operation, detail);
                default: return new TalvoError(code, text, operation, detail);
            }
        }
    }

    /// <summary>The exchange with the terminal failed: the line, or its reply.</summary>
    public class ExchangeError : TalvoError
    { public ExchangeError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>The port is not open, or not one byte of the request was written.</summary>
    public class PortError : ExchangeError
    { public PortError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>The request was written only in part, or no valid reply frame came.</summary>
    public class BadReplyError : ExchangeError
    { public BadReplyError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>Nothing was received within the time limits.</summary>
    public class NoReplyError : ExchangeError
    { public NoReplyError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>A reply frame came that the command's own check refused.</summary>
    public class ReplyCheckError : ExchangeError
    { public ReplyCheckError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>The terminal accepted, but its reply lacked the data asked for.</summary>
    public class ShortReplyError : ExchangeError
    { public ShortReplyError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>The terminal answered and refused the command.</summary>
    public class RefusedError : TalvoError
    { public RefusedError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>An argument out of range; nothing was sent.</summary>
    public class InvalidArgumentError : TalvoError
    { public InvalidArgumentError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>The reply held more than the output could take.</summary>
    public class BufferSizeError : TalvoError
    { public BufferSizeError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>The line or store is closed.</summary>
    public class ClosedError : TalvoError
    { public ClosedError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>The device could not be opened.</summary>
    public class OpenError : TalvoError
    { public OpenError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>The device does not exist.</summary>
    public class NoDeviceError : OpenError
    { public NoDeviceError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>The device is in use by another program (or another line).</summary>
    public class DeviceBusyError : OpenError
    { public DeviceBusyError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>No permission to open the device.</summary>
    public class AccessError : OpenError
    { public AccessError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>The baud rate or line format was not accepted.</summary>
    public class LineFormatError : OpenError
    { public LineFormatError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>A device URL that is malformed, of an unknown scheme, or whose port is
    /// outside 1-65535; nothing was opened.</summary>
    public class DeviceUrlError : OpenError
    { public DeviceUrlError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>The device server's host did not resolve, or the connection was refused
    /// or not made in time.</summary>
    public class ConnectError : OpenError
    { public ConnectError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>The device server failed the RFC 2217 negotiation.</summary>
    public class NegotiateError : OpenError
    { public NegotiateError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>A record store file that cannot be used.</summary>
    public class StoreError : TalvoError
    { public StoreError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>Not the batch last fetched from that terminal on this line.</summary>
    public class BatchError : TalvoError
    { public BatchError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>The terminal did not confirm the batch; it may still hold it (fetch again).</summary>
    public class UnconfirmedError : TalvoError
    { public UnconfirmedError(int c, string t, string o, string d) : base(c, t, o, d) { } }
    /// <summary>An unexpected failure inside the library (also: no memory, no exchange run).</summary>
    public class InternalError : TalvoError
    { public InternalError(int c, string t, string o, string d) : base(c, t, o, d) { } }

    // ---- A line ------------------------------------------------------------

    /// <summary>A raw record of a batch that was not decoded into a record.</summary>
    public sealed class RejectedRecord
    {
        public string Raw { get; private set; }      // the 28 characters as received
        public int Status { get; private set; }      // 1 damaged (check pair), 2 unwanted card number
        public RejectedRecord(string raw, int status) { Raw = raw; Status = status; }
        public override string ToString() { return Raw + (Status == 1 ? " damaged" : " unwanted"); }
    }

    /// <summary>One batch as a terminal handed it over: the records the host
    /// wants and every raw record with what became of it.</summary>
    public sealed class RecordBatch
    {
        internal Batch Native;
        internal Line Owner;
        public int Terminal { get { return Native.Terminal; } }
        public int Mark { get { return Native.Mark; } }
        /// <summary>Raw records in the batch (kept, damaged and unwanted); 0: the terminal holds none.</summary>
        public int Count { get { return Native.Count; } }
        public Record[] Records { get; internal set; }
        public List<RejectedRecord> Rejected { get; internal set; }
        public bool Confirmed { get; internal set; }
    }

    /// <summary>What Line.Collect did: records stored, raw records kept out, and
    /// the file they were logged to (null when nothing was rejected).</summary>
    public sealed class CollectResult
    {
        public int Stored { get; internal set; }
        public List<RejectedRecord> Rejected { get; internal set; }
        public string RejectedLog { get; internal set; }
    }

    /// <summary>One line with terminals on it - a serial port, or a serial device
    /// server on the network - opened for exclusive use through the line API.  Every command names a terminal (0-255) and sends
    /// one request; a refusal throws RefusedError, a failed exchange an
    /// ExchangeError, an argument out of range InvalidArgumentError before
    /// anything is sent.  Dispose closes the port.  Calls on one line are
    /// serialized by the library; different lines run in parallel.</summary>
    public sealed class Line : IDisposable
    {
        static Line() { DeferredPort.Prepare(); }

        readonly LineHandle handle;
        TraceCallback trace;  // referenced while the library may call it

        /// <summary>How strings become the terminals' 8-bit texts.</summary>
        public Encoding TextEncoding = Terminals.TextEncoding;
        public string Port { get; private set; }

        /// <param name="port">"/dev/ttyUSB0", "COM3"..., or a device server:
        /// "tcp://host:port" (a raw byte stream) or "rfc2217://host:port" (Telnet with
        /// the COM port control option; the server is set to the baud rate and line
        /// format at open).  Hosts are names, IPv4 addresses or IPv6 addresses in
        /// brackets.  A bad URL throws DeviceUrlError, a host that does not resolve or a
        /// refused connection ConnectError, a failed negotiation NegotiateError.</param>
        /// <param name="lineFormat">such as "parity=N data=8 stop=1"; null for that default</param>
        public Line(string port, int baud = 4800, string lineFormat = null, int echoTimeMs = 150,
                    int waitTimeMs = 1000, int tries = 3, int fillerBytes = 2)
        {
            if (port == null) throw new ArgumentNullException("port");
            if (port.Length == 0 || port.IndexOf('\0') >= 0) throw Invalid("open", "port empty or holding a zero character");
            Range("open", "baud", baud, 1, 4000000);
            Range("open", "echoTimeMs", echoTimeMs, 0, 600000);
            Range("open", "waitTimeMs", waitTimeMs, 0, 600000);
            Range("open", "tries", tries, 1, 10);
            Range("open", "fillerBytes", fillerBytes, 0, 30);
            var options = new LineOptions();
            NativeMethods.talvo_line_options_init_size(ref options, (UIntPtr)Marshal.SizeOf(typeof(LineOptions)));
            IntPtr dev = Marshal.StringToHGlobalAnsi(port);
            IntPtr format = lineFormat != null ? Marshal.StringToHGlobalAnsi(lineFormat) : IntPtr.Zero;
            int rc;
            LineHandle opened;
            try
            {
                options.Device = dev;
                if (format != IntPtr.Zero) options.LineFormat = format;
                options.Baud = (uint)baud;
                options.EchoTimeMs = (uint)echoTimeMs;
                options.WaitTimeMs = (uint)waitTimeMs;
                options.Tries = (uint)tries;
                options.FillerBytes = (uint)fillerBytes;
                rc = NativeMethods.talvo_line_open(ref options, out opened);
            }
            finally
            {
                Marshal.FreeHGlobal(dev);
                if (format != IntPtr.Zero) Marshal.FreeHGlobal(format);
            }
            if (rc != 0)
            {
                if (opened != null) opened.Dispose();
                throw TalvoError.For(rc, "open", port);
            }
            handle = opened;
            Port = port;
        }

        public void Dispose()
        {
            handle.Dispose();
            GC.KeepAlive(trace);
        }
        public bool Closed { get { return handle.IsClosed; } }
        /// <summary>The code of the line's last command (0 for success).</summary>
        public int LastError { get { return NativeMethods.talvo_line_last_error(Handle("last_error")); } }

        /// <summary>Calls `fn` for every frame sent and reply collected; null: off.</summary>
        public void SetTrace(TraceCallback fn)
        {
            Check(NativeMethods.talvo_line_set_trace(Handle("set_trace"), fn, IntPtr.Zero), "set_trace");
            trace = fn;
        }

        // ---- plumbing ----

        LineHandle Handle(string operation)
        {
            if (handle.IsClosed) throw TalvoError.For(NativeMethods.TALVO_E_CLOSED, operation);
            return handle;
        }

        static void Check(int rc, string operation)
        {
            if (rc != 0) throw TalvoError.For(rc, operation);
        }

        static InvalidArgumentError Invalid(string operation, string detail)
        {
            return (InvalidArgumentError)TalvoError.For(NativeMethods.TALVO_E_INVALID, operation, detail);
        }

        static void Range(string operation, string name, long value, long low, long high)
        {
            if (value < low || value > high)
                throw Invalid(operation, string.Format(CultureInfo.InvariantCulture, "{0} {1} outside {2} to {3}",
                                                       name, value, low, high));
        }

        LineHandle Use(string operation, int terminal)
        {
            Range(operation, "terminal", terminal, 0, 255);
            return Handle(operation);
        }

        string Text(string operation, string text, string name, int low, int high)
        {
            if (text == null) throw new ArgumentNullException(name);
            byte[] data = TextEncoding.GetBytes(text);
            if (Array.IndexOf(data, (byte)0) >= 0) throw Invalid(operation, name + " holds a zero character");
            if (data.Length < low || data.Length > high)
                throw Invalid(operation, string.Format(CultureInfo.InvariantCulture, "{0} must be {1} to {2} bytes, not {3}",
                                                       name, low, high, data.Length));
            return text;
        }

        byte[] Groups(string operation, IList<string> items, string name, int width)
        {
            if (items == null) throw new ArgumentNullException(name);
            if (items.Count < 1 || items.Count > 255) throw Invalid(operation, items.Count + " " + name + ": 1 to 255 per call");
            var all = new List<byte>();
            foreach (string item in items)
            {
                Text(operation, item, name, width, width);
                all.AddRange(TextEncoding.GetBytes(item));
            }
            return all.ToArray();
        }

        static int Cents(string operation, decimal amount, string name)
        {
            if (amount < 0m || amount > 9999.99m || decimal.Round(amount, 2) != amount)
                throw Invalid(operation, name + " " + amount.ToString(CultureInfo.InvariantCulture) + ": 0 to 9999.99, two decimals");
            return (int)(amount * 100m);
        }

        static decimal Money(int cents) { return cents / 100m; }

        static string Key(string operation, string key)
        {
            if (key == null) throw new ArgumentNullException("key");
            if (!Regex.IsMatch(key, "^[0-9A-Fa-f]{6}$")) throw Invalid(operation, "key " + key + " is not six hex digits");
            return key;
        }

        // Local wall time for the terminal's clock: a UTC DateTime is converted.
        static TalvoDateTime Clock(string operation, DateTime when, int lowYear, int highYear)
        {
            if (when.Kind == DateTimeKind.Utc) when = when.ToLocalTime();
            Range(operation, "year", when.Year, lowYear, highYear);
            return new TalvoDateTime(when);
        }

        static DateTime FromClock(string operation, TalvoDateTime t)
        {
            try
            {
                return new DateTime(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second, DateTimeKind.Local);
            }
            catch (ArgumentException)
            {
                throw TalvoError.For(NativeMethods.TALVO_E_REPLY_CHECK, operation, "the terminal's clock reads no date");
            }
        }

        // ---- status and parameters ----

        /// <summary>Asks whether the terminal answers and accepts (throws otherwise).</summary>
        public void Status(int terminal) { Check(NativeMethods.talvo_status(Use("status", terminal), terminal), "status"); }
        public void ClearMemory(int terminal)
        {
            Check(NativeMethods.talvo_clear_memory(Use("clear_memory", terminal), terminal), "clear_memory");
        }

        /// <summary>The 12-character CMW text.</summary>
        public string Cmw(int terminal)
        {
            var text = new StringBuilder(16);
            Check(NativeMethods.talvo_cmw_read(Use("cmw", terminal), terminal, text, (UIntPtr)13), "cmw");
            return text.ToString();
        }

        /// <summary>1 to 12 characters, padded with '0' to 12.</summary>
        public void SetCmw(int terminal, string text)
        {
            LineHandle h = Use("set_cmw", terminal);
            Check(NativeMethods.talvo_cmw_set(h, terminal, Text("set_cmw", text, "cmw", 1, 12)), "set_cmw");
        }

        public decimal Mdeb(int terminal)
        {
            int cents;
            Check(NativeMethods.talvo_mdeb_read(Use("mdeb", terminal), terminal, out cents), "mdeb");
            return Money(cents);
        }

        public void SetMdeb(int terminal, decimal amount)
        {
            LineHandle h = Use("set_mdeb", terminal);
            Check(NativeMethods.talvo_mdeb_set(h, terminal, Cents("set_mdeb", amount, "mdeb")), "set_mdeb");
        }

        // ---- card key ----

        /// <summary>True when the terminal holds `key`, false when it refuses it.</summary>
        public bool CheckKey(int terminal, string key)
        {
            LineHandle h = Use("check_key", terminal);
            int rc = NativeMethods.talvo_key_check(h, terminal, Key("check_key", key));
            if (rc == NativeMethods.TALVO_E_REFUSED) return false;
            Check(rc, "check_key");
            return true;
        }

        public void SetKey(int terminal, string key)
        {
            LineHandle h = Use("set_key", terminal);
            Check(NativeMethods.talvo_key_set(h, terminal, Key("set_key", key)), "set_key");
        }

        public bool[] KeyFlags(int terminal)
        {
            var flags = new int[4];
            Check(NativeMethods.talvo_key_flags(Use("key_flags", terminal), terminal, flags, (UIntPtr)4), "key_flags");
            return Array.ConvertAll(flags, f => f != 0);
        }

        // ---- blacklist ----

        /// <summary>Up to 32 card numbers from list position `position` on.</summary>
        public string[] Blacklist(int terminal, int position = 0)
        {
            LineHandle h = Use("blacklist", terminal);
            Range("blacklist", "position", position, 0, 65535);
            var cards = new byte[6 * 32];
            UIntPtr n;
            Check(NativeMethods.talvo_blacklist_read(h, terminal, (uint)position, cards, (UIntPtr)32, out n), "blacklist");
            var list = new string[(int)n];
            for (int i = 0; i < list.Length; i++) list[i] = TextEncoding.GetString(cards, 6 * i, 6);
            return list;
        }

        public void BlacklistAdd(int terminal, IList<string> cards)
        {
            LineHandle h = Use("blacklist_add", terminal);
            byte[] data = Groups("blacklist_add", cards, "cards", 6);
            Check(NativeMethods.talvo_blacklist_add(h, terminal, data, (UIntPtr)cards.Count), "blacklist_add");
        }

        public void BlacklistRemove(int terminal, string card)
        {
            LineHandle h = Use("blacklist_remove", terminal);
            Text("blacklist_remove", card, "card", 6, 6);
            Check(NativeMethods.talvo_blacklist_remove(h, terminal, TextEncoding.GetBytes(card)), "blacklist_remove");
        }

        public void BlacklistWrite(int terminal, int position, IList<string> cards)
        {
            LineHandle h = Use("blacklist_write", terminal);
            Range("blacklist_write", "position", position, 0, 65535);
            byte[] data = Groups("blacklist_write", cards, "cards", 6);
            Check(NativeMethods.talvo_blacklist_set(h, terminal, (uint)position, data, (UIntPtr)cards.Count), "blacklist_write");
        }

        public void BlacklistClear(int terminal)
        {
            Check(NativeMethods.talvo_blacklist_clear(Use("blacklist_clear", terminal), terminal), "blacklist_clear");
        }

        // ---- price menu ----

        /// <summary>The prices (empty for an empty menu).</summary>
        public decimal[] Menu(int terminal)
        {
            var cents = new int[255];
            UIntPtr n;
            Check(NativeMethods.talvo_menu_read(Use("menu", terminal), terminal, cents, (UIntPtr)255, out n), "menu");
            var prices = new decimal[(int)n];
            for (int i = 0; i < prices.Length; i++) prices[i] = Money(cents[i]);
            return prices;
        }

        /// <summary>0 to 255 prices, each 0 to 9999.99.</summary>
        public void SetMenu(int terminal, IList<decimal> prices)
        {
            LineHandle h = Use("set_menu", terminal);
            if (prices == null) throw new ArgumentNullException("prices");
            if (prices.Count > 255) throw Invalid("set_menu", prices.Count + " prices: at most 255");
            var cents = new int[Math.Max(1, prices.Count)];
            for (int i = 0; i < prices.Count; i++) cents[i] = Cents("set_menu", prices[i], "price");
            Check(NativeMethods.talvo_menu_set(h, terminal, cents, (UIntPtr)prices.Count), "set_menu");
        }

        public void ClearMenu(int terminal) { Check(NativeMethods.talvo_menu_clear(Use("clear_menu", terminal), terminal), "clear_menu"); }

        // ---- subsidy ----

        public void SubsidyClear(int terminal)
        {
            Check(NativeMethods.talvo_subsidy_clear(Use("subsidy_clear", terminal), terminal), "subsidy_clear");
        }

        public void SetSubsidyMax(int terminal, decimal amount)
        {
            LineHandle h = Use("set_subsidy_max", terminal);
            Check(NativeMethods.talvo_subsidy_set_max(h, terminal, Cents("set_subsidy_max", amount, "subsidy")), "set_subsidy_max");
        }

        /// <summary>The subsidy time text as it stands (at most 1024 bytes).</summary>
        public void SetSubsidyTime(int terminal, string text)
        {
            LineHandle h = Use("set_subsidy_time", terminal);
            Check(NativeMethods.talvo_subsidy_set_time(h, terminal, Text("set_subsidy_time", text, "subsidy time", 0, 1024)),
                  "set_subsidy_time");
        }

        /// <summary>Entries of 12 characters (1 to 255) at list position `position`.</summary>
        public void SubsidyAdd(int terminal, int position, IList<string> entries)
        {
            LineHandle h = Use("subsidy_add", terminal);
            Range("subsidy_add", "position", position, 0, 65535);
            byte[] data = Groups("subsidy_add", entries, "entries", 12);
            Check(NativeMethods.talvo_subsidy_add(h, terminal, (uint)position, data, (UIntPtr)entries.Count), "subsidy_add");
        }

        // ---- clock, zones and lock ----

        /// <summary>The payment terminal's clock (local time, to the minute).</summary>
        public DateTime Clock(int terminal)
        {
            TalvoDateTime t;
            Check(NativeMethods.talvo_clock_read(Use("clock", terminal), terminal, out t), "clock");
            return FromClock("clock", t);
        }

        /// <summary>Sets the payment terminal's clock (years 2000 to 2099; seconds are
        /// not kept).  A UTC DateTime is converted to local time first.</summary>
        public void SetClock(int terminal, DateTime when)
        {
            LineHandle h = Use("set_clock", terminal);
            TalvoDateTime t = Clock("set_clock", when, 2000, 2099);
            Check(NativeMethods.talvo_clock_set(h, terminal, ref t), "set_clock");
        }

        /// <summary>The eight time zones.</summary>
        public TimeOfDay[] Zones(int terminal)
        {
            var zones = new TimeOfDay[8];
            Check(NativeMethods.talvo_zones_read(Use("zones", terminal), terminal, zones, (UIntPtr)8), "zones");
            return zones;
        }

        public void SetZones(int terminal, IList<TimeOfDay> zones)
        {
            LineHandle h = Use("set_zones", terminal);
            if (zones == null) throw new ArgumentNullException("zones");
            if (zones.Count != 8) throw Invalid("set_zones", zones.Count + " zones: exactly 8");
            var array = new TimeOfDay[8];
            for (int i = 0; i < 8; i++)
            {
                TimeOfDay z = zones[i];
                Range("set_zones", "hour", z.Hour, 0, 23);
                Range("set_zones", "minute", z.Minute, 0, 59);
                array[i] = z;
            }
            Check(NativeMethods.talvo_zones_set(h, terminal, array, (UIntPtr)8), "set_zones");
        }

        public void Lock(int terminal) { Check(NativeMethods.talvo_lock(Use("lock", terminal), terminal), "lock"); }
        public void Unlock(int terminal) { Check(NativeMethods.talvo_unlock(Use("unlock", terminal), terminal), "unlock"); }

        // ---- attendance terminals ----

        public AttendZone[] AttendZones(int terminal)
        {
            var zones = new AttendZone[8];
            Check(NativeMethods.talvo_attend_zones_read(Use("attend_zones", terminal), terminal, zones, (UIntPtr)8),
                  "attend_zones");
            return zones;
        }

        public void SetAttendZones(int terminal, IList<AttendZone> zones)
        {
            LineHandle h = Use("set_attend_zones", terminal);
            if (zones == null) throw new ArgumentNullException("zones");
            if (zones.Count != 8) throw Invalid("set_attend_zones", zones.Count + " zones: exactly 8");
            var array = new AttendZone[8];
            for (int i = 0; i < 8; i++)
            {
                AttendZone z = zones[i];
                Text("set_attend_zones", z.Code, "zone code", 2, 2);
                foreach (TimeOfDay t in new[] { z.Start, z.End })
                {
                    Range("set_attend_zones", "hour", t.Hour, 0, 23);
                    Range("set_attend_zones", "minute", t.Minute, 0, 59);
                }
                array[i] = z;
            }
            Check(NativeMethods.talvo_attend_zones_set(h, terminal, array, (UIntPtr)8), "set_attend_zones");
        }

        /// <summary>Reason text `number` (0 to 255).</summary>
        public string AttendReason(int terminal, int number)
        {
            LineHandle h = Use("attend_reason", terminal);
            Range("attend_reason", "reason number", number, 0, 255);
            var text = new StringBuilder(16);
            Check(NativeMethods.talvo_attend_reason_read(h, terminal, number, text, (UIntPtr)9), "attend_reason");
            return text.ToString();
        }

        /// <summary>Reason text `number` (0 to 255), up to 8 bytes.</summary>
        public void SetAttendReason(int terminal, int number, string text)
        {
            LineHandle h = Use("set_attend_reason", terminal);
            Range("set_attend_reason", "reason number", number, 0, 255);
            Text("set_attend_reason", text, "reason", 0, 8);
            if (text.IndexOf('\x0F') >= 0) throw Invalid("set_attend_reason", "a reason cannot hold 0x0F, which ends it");
            Check(NativeMethods.talvo_attend_reason_set(h, terminal, number, text), "set_attend_reason");
        }

        /// <summary>The attendance terminal's clock (local time, to the second).</summary>
        public DateTime AttendClock(int terminal)
        {
            TalvoDateTime t;
            Check(NativeMethods.talvo_attend_clock_read(Use("attend_clock", terminal), terminal, out t), "attend_clock");
            return FromClock("attend_clock", t);
        }

        /// <summary>Sets the attendance clock; a UTC DateTime is converted to local time first.</summary>
        public void SetAttendClock(int terminal, DateTime when)
        {
            LineHandle h = Use("set_attend_clock", terminal);
            TalvoDateTime t = Clock("set_attend_clock", when, 1000, 9999);
            Check(NativeMethods.talvo_attend_clock_set(h, terminal, ref t), "set_attend_clock");
        }

        // ---- records ----

        /// <summary>Reads one batch without telling the terminal anything (Count 0:
        /// the terminal holds none).  Store its Records, then Confirm it.</summary>
        public RecordBatch Fetch(int terminal)
        {
            LineHandle h = Use("fetch", terminal);
            var records = new Record[NativeMethods.TALVO_BATCH_MAX];
            UIntPtr n;
            Batch native;
            Check(NativeMethods.talvo_records_fetch(h, terminal, records, (UIntPtr)records.Length, out n, out native), "fetch");
            var batch = new RecordBatch { Native = native, Owner = this, Rejected = new List<RejectedRecord>() };
            Array.Resize(ref records, (int)n);
            batch.Records = records;
            for (int i = 0; i < Math.Min(native.Count, NativeMethods.TALVO_BATCH_MAX); i++)
                if (native.Status[i] != 0) batch.Rejected.Add(new RejectedRecord(native.RawRecord(i), native.Status[i]));
            return batch;
        }

        /// <summary>Tells the terminal to clear the batch.  UnconfirmedError: it may
        /// still hold it (fetch again).  BatchError: not the batch last fetched.</summary>
        public void Confirm(RecordBatch batch)
        {
            if (batch == null) throw new ArgumentNullException("batch");
            if (batch.Owner != this) throw Invalid("confirm", "a batch fetched on another line");
            LineHandle h = Use("confirm", batch.Terminal);
            Check(NativeMethods.talvo_records_confirm(h, batch.Terminal, ref batch.Native), "confirm");
            batch.Confirmed = true;
        }

        /// <summary>Collects every record of the terminal into the store file at
        /// `path`: each batch is stored and flushed before the terminal is told to
        /// clear it.  Damaged and unwanted raw records are not stored; the library
        /// logs them to ErrRec.doc in the current directory.</summary>
        public CollectResult Collect(int terminal, string path)
        {
            LineHandle h = Use("collect", terminal);
            if (path == null) throw new ArgumentNullException("path");
            if (path.Length == 0 || path.IndexOf('\0') >= 0) throw Invalid("collect", "store path empty or holding a zero character");
            // The store first, so that nothing is sent for a file that cannot take records.
            if (System.IO.Directory.Exists(path)) throw TalvoError.For(NativeMethods.TALVO_E_STORE, "collect", path + ": is a directory");
            if (System.IO.File.Exists(path))
            {
                StoreHandle store;
                int opened = NativeMethods.talvo_store_open(path, out store);
                if (store != null) store.Dispose();
                if (opened != 0) throw TalvoError.For(opened, "collect", path);
            }
            var result = new CollectResult { Rejected = new List<RejectedRecord>() };
            string log = System.IO.Path.Combine(System.IO.Directory.GetCurrentDirectory(), "ErrRec.doc");
            var args = new CollectArgs { Path = path, LogPath = log };
            args.Size = (uint)Marshal.SizeOf(typeof(CollectArgs));
            while (true)
            {
                // The library's collection: fetch, store, confirm; the batch in
                // the result says what became of each raw record.
                NativeCollectResult one;
                int rc = NativeMethods.talvo_records_collect_into(h, terminal, ref args, out one);
                if (rc != 0) throw TalvoError.For(rc, "collect", rc == NativeMethods.TALVO_E_STORE ? path : null);
                if (one.Batch.Count == 0) break;
                result.Stored += one.Stored;
                for (int i = 0; i < Math.Min(one.Batch.Count, NativeMethods.TALVO_BATCH_MAX); i++)
                    if (one.Batch.Status[i] != 0) result.Rejected.Add(new RejectedRecord(one.Batch.RawRecord(i), one.Batch.Status[i]));
            }
            if (result.Rejected.Count > 0) result.RejectedLog = log;
            return result;
        }
    }

    // ---- The safe wrapper of the 43 exports --------------------------------

    /// <summary>An attendance zone as the 43 exports keep it: two times "hh:mm"
    /// and a two-character code.</summary>
    public sealed class AttendanceZone
    {
        public string Start, End, Code;
        public AttendanceZone(string start, string end, string code) { Start = start; End = end; Code = code; }
        public override string ToString() { return Start + "-" + End + "/" + Code; }
    }

    /// <summary>The 43 exports made safe to call.  Every method checks its arguments
    /// before anything is sent (ArgumentException), passes buffers of the sizes the
    /// library writes, and releases the blocks it hands over.  Commands return true
    /// when the terminal accepted; LastError then tells a refusal (0) from a failed
    /// exchange (negative).  The library serializes calls from several threads.</summary>
    public static class Terminals
    {
        static Terminals() { DeferredPort.Prepare(); }

        /// <summary>How strings become the terminals' 8-bit texts.  Windows: the
        /// system's ANSI code page (GBK where the terminals are used).</summary>
        public static Encoding TextEncoding = Encoding.Default;

        /// <summary>The result of the last exchange (0, or -1, -2, -3, -6).</summary>
        public static int LastError { get { return NativeMethods.GetError(); } }

        /// <summary>The library's English text for an error code.</summary>
        public static string ErrorText(int code)
        {
            return Marshal.PtrToStringAnsi(NativeMethods.talvo_strerror(code));
        }

        /// <summary>Releases a block handed over by ReadHMD, ReadMenu, ReadTimeZone or
        /// ReadAttendTimeZone: GlobalUnlock and GlobalFree of its handle on Windows,
        /// free() elsewhere.  IntPtr.Zero is ignored.</summary>
        public static void FreeBlock(IntPtr block)
        {
            if (block == IntPtr.Zero) return;
            if (Environment.OSVersion.Platform == PlatformID.Win32NT)
            {
                IntPtr handle = GlobalHandle(block);
                GlobalUnlock(handle);
                GlobalFree(handle);
            }
            else
            {
                free(block);
            }
        }

        [DllImport("kernel32.dll", SetLastError = true)]
        static extern IntPtr GlobalHandle(IntPtr memory);
        [DllImport("kernel32.dll", SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        static extern bool GlobalUnlock(IntPtr handle);
        [DllImport("kernel32.dll", SetLastError = true)]
        static extern IntPtr GlobalFree(IntPtr handle);
        [DllImport("libc.so.6", CallingConvention = CallingConvention.Cdecl)]
        static extern void free(IntPtr block);

        // ---- argument checks ----

        static void Terminal(int terminal)
        {
            if (terminal < 0 || terminal > 255) throw new ArgumentOutOfRangeException("terminal", "0 to 255");
        }

        static void Position(int position)
        {
            if (position < 0 || position > 65535) throw new ArgumentOutOfRangeException("position", "0 to 65535");
        }

        static byte[] Bytes(string text, string name)
        {
            if (text == null) throw new ArgumentNullException(name);
            byte[] data = TextEncoding.GetBytes(text);
            if (Array.IndexOf(data, (byte)0) >= 0) throw new ArgumentException("holds a zero character", name);
            return data;
        }

        static string Text(string text, string name, int min, int max)
        {
            int n = Bytes(text, name).Length;
            if (n < min || n > max)
                throw new ArgumentException(string.Format("{0} to {1} bytes, not {2}", min, max, n), name);
            return text;
        }

        // Concatenated groups of exactly `width` bytes, 1 to 255 of them.
        static byte[] Groups(IList<string> items, int width, string name)
        {
            if (items == null) throw new ArgumentNullException(name);
            if (items.Count < 1 || items.Count > 255) throw new ArgumentException("1 to 255 entries", name);
            var all = new List<byte>();
            foreach (string item in items)
            {
                byte[] b = Bytes(item, name);
                if (b.Length != width) throw new ArgumentException("each entry exactly " + width + " bytes", name);
                all.AddRange(b);
            }
            return all.ToArray();
        }

        static float Amount(decimal amount, string name)
        {
            if (amount < 0m || amount > 9999.99m || decimal.Round(amount, 2) != amount)
                throw new ArgumentOutOfRangeException(name, "0 to 9999.99, two decimals");
            return (float)amount;
        }

        static decimal Money(float value) { return decimal.Round((decimal)value, 2); }

        static string Key(string key)
        {
            if (key == null) throw new ArgumentNullException("key");
            if (!Regex.IsMatch(key, "^[0-9A-Fa-f]{6}$")) throw new ArgumentException("six hex digits", "key");
            return key;
        }

        static string Zero(byte[] b, int offset, int max)
        {
            int n = 0;
            while (n < max && b[offset + n] != 0) n++;
            return TextEncoding.GetString(b, offset, n);
        }

        static byte[] CopyBlock(IntPtr block, int size)
        {
            var data = new byte[size];
            if (size > 0) Marshal.Copy(block, data, 0, size);
            return data;
        }

        // ---- module state ----

        /// <summary>"It's me!".</summary>
        public static string Identify()
        {
            var buffer = new StringBuilder(16);
            NativeMethods.IsFileExist(buffer);
            return buffer.ToString();
        }

        public static bool DisplayReceived
        {
            get { return NativeMethods.GetDisplayRecp() != 0; }
            set { NativeMethods.SetDisplayRecp(value ? 1 : 0); }
        }

        public static bool DisplaySent
        {
            get { return NativeMethods.GetDisplaySend() != 0; }
            set { NativeMethods.SetDisplaySend(value ? 1 : 0); }
        }

        static readonly Regex FloatFormat = new Regex(
            @"^(?:[^%]|%%)*%[-+ #0]*(\d*)(?:\.(\d*))?[eEfFgGaA](?:[^%]|%%)*$");

        /// <summary>SetFloatInStr with a buffer sized for the format: exactly one
        /// floating conversion, width and precision at most 500.</summary>
        public static string FormatFloat(string format, float value)
        {
            if (format == null) throw new ArgumentNullException("format");
            Match m = FloatFormat.Match(format);
            if (!m.Success) throw new ArgumentException("exactly one floating conversion", "format");
            int width = m.Groups[1].Value.Length > 0 ? int.Parse(m.Groups[1].Value, CultureInfo.InvariantCulture) : 0;
            int precision = m.Groups[2].Value.Length > 0 ? int.Parse(m.Groups[2].Value, CultureInfo.InvariantCulture) : 6;
            if (width > 500 || precision > 500) throw new ArgumentException("width and precision at most 500", "format");
            // A float has at most 39 integer digits; sign, point, exponent and
            // hex prefix fit in the margin.
            var buffer = new StringBuilder(format.Length + Math.Max(width, 64 + precision) + 1);
            int n = NativeMethods.SetFloatInStr(buffer, format, value);
            return n < 0 ? null : buffer.ToString();
        }

        // ---- parameters and status ----

        public static bool InqStat(int terminal) { Terminal(terminal); return NativeMethods.InqStat(terminal) == 1; }
        public static bool ClearRAM(int terminal) { Terminal(terminal); return NativeMethods.ClearRAM(terminal) == 1; }

        /// <summary>The 12-character CMW text.</summary>
        public static bool ReadCMW(int terminal, out string text)
        {
            Terminal(terminal);
            var buffer = new StringBuilder(16);
            bool ok = NativeMethods.ReadCMW(terminal, buffer) == 1;
            text = ok ? buffer.ToString() : null;
            return ok;
        }

        /// <summary>0 to 12 characters; padded with '0' to 12 on the line.</summary>
        public static bool Setcmw(int terminal, string text)
        {
            Terminal(terminal);
            return NativeMethods.Setcmw(terminal, Text(text, "text", 0, 12)) == 1;
        }

        public static bool Readmdeb(int terminal, out decimal amount)
        {
            Terminal(terminal);
            float value = 0;
            bool ok = NativeMethods.Readmdeb(terminal, ref value) == 1;
            amount = ok ? Money(value) : 0m;
            return ok;
        }

        public static bool Setmdeb(int terminal, decimal amount)
        {
            Terminal(terminal);
            return NativeMethods.Setmdeb(terminal, Amount(amount, "amount")) == 1;
        }

        // ---- blacklist ----

        public static bool AddHMD(int terminal, IList<string> entries)
        {
            Terminal(terminal);
            byte[] data = Groups(entries, 6, "entries");
            return NativeMethods.AddHMD(terminal, TextEncoding.GetString(data)) == 1;
        }

        public static bool ReduHMD(int terminal, string entry)
        {
            Terminal(terminal);
            return NativeMethods.ReduHMD(terminal, Text(entry, "entry", 6, 6)) == 1;
        }

        public static bool SetHMD(int terminal, int position, IList<string> entries)
        {
            Terminal(terminal);
            Position(position);
            byte[] data = Groups(entries, 6, "entries");
            return NativeMethods.SetHMD(terminal, position, data, entries.Count) == 1;
        }

        public static bool ClearHMD(int terminal) { Terminal(terminal); return NativeMethods.ClearHMD(terminal) == 1; }

        /// <summary>Up to 32 entries from `position`; the block is released here.</summary>
        public static bool ReadHMD(int terminal, int position, out string[] entries)
        {
            Terminal(terminal);
            Position(position);
            IntPtr block = IntPtr.Zero;
            int count = 0;
            entries = null;
            try
            {
                if (NativeMethods.ReadHMD(terminal, position, ref block, ref count) != 1) return false;
                if (count < 0 || count > 32 || (count > 0 && block == IntPtr.Zero)) return false;
                byte[] data = CopyBlock(block, 6 * count);
                entries = new string[count];
                for (int i = 0; i < count; i++) entries[i] = TextEncoding.GetString(data, 6 * i, 6);
                return true;
            }
            finally
            {
                FreeBlock(block);
            }
        }

        // ---- card key ----

        public static bool CheckKey(int terminal, string key)
        {
            Terminal(terminal);
            return NativeMethods.CheckKey(terminal, 0, 0, Key(key)) == 1;
        }

        public static bool SetKey(int terminal, string key)
        {
            Terminal(terminal);
            return NativeMethods.SetKey(terminal, 0, 0, Key(key)) == 1;
        }

        public static bool Inqkey(int terminal, out bool[] flags)
        {
            Terminal(terminal);
            var raw = new int[4];
            bool ok = NativeMethods.Inqkey(terminal, raw) == 1;
            flags = ok ? new[] { raw[0] != 0, raw[1] != 0, raw[2] != 0, raw[3] != 0 } : null;
            return ok;
        }

        // ---- price menu ----

        public static bool Setmenu(int terminal, IList<decimal> prices)
        {
            Terminal(terminal);
            if (prices == null) throw new ArgumentNullException("prices");
            if (prices.Count > 255) throw new ArgumentException("at most 255 prices", "prices");
            var values = new float[Math.Max(1, prices.Count)];
            for (int i = 0; i < prices.Count; i++) values[i] = Amount(prices[i], "prices");
            return NativeMethods.Setmenu(terminal, values, prices.Count) == 1;
        }

        /// <summary>The prices; false for an empty menu too.  The block is released here.</summary>
        public static bool ReadMenu(int terminal, out decimal[] prices)
        {
            Terminal(terminal);
            IntPtr block = IntPtr.Zero;
            int count = 0;
            prices = null;
            try
            {
                if (NativeMethods.ReadMenu(terminal, ref block, ref count) != 1) return false;
                if (count <= 0 || count > 255 || block == IntPtr.Zero) return false;
                var values = new float[count];
                Marshal.Copy(block, values, 0, count);
                prices = new decimal[count];
                for (int i = 0; i < count; i++) prices[i] = Money(values[i]);
                return true;
            }
            finally
            {
                FreeBlock(block);
            }
        }

        public static bool Clearmenu(int terminal) { Terminal(terminal); return NativeMethods.Clearmenu(terminal) == 1; }

        // ---- subsidy ----

        public static bool ClearList(int terminal) { Terminal(terminal); return NativeMethods.ClearList(terminal) == 1; }

        public static bool SetMaxbt(int terminal, decimal amount)
        {
            Terminal(terminal);
            return NativeMethods.SetMaxbt(terminal, (double)Amount(amount, "amount")) == 1;
        }

        public static bool SetBtTime(int terminal, string text)
        {
            Terminal(terminal);
            return NativeMethods.SetBtTime(terminal, Text(text, "text", 0, 1024)) == 1;
        }

        public static bool AddBtList(int terminal, int position, IList<string> entries)
        {
            Terminal(terminal);
            Position(position);
            byte[] data = Groups(entries, 12, "entries");
            return NativeMethods.AddBtList(terminal, position, TextEncoding.GetString(data)) == 1;
        }

        // ---- clock, zones and lock ----

        static byte[] Slots(IList<string> times)
        {
            if (times == null) throw new ArgumentNullException("zones");
            if (times.Count != 8) throw new ArgumentException("exactly 8 zones", "zones");
            var block = new byte[120];
            for (int k = 0; k < 8; k++) PutTime(block, 15 * k, times[k], "zones");
            return block;
        }

        static void PutTime(byte[] block, int at, string time, string name)
        {
            if (time == null || !Regex.IsMatch(time, "^([01][0-9]|2[0-3]):[0-5][0-9]$"))
                throw new ArgumentException("times as hh:mm", name);
            Encoding.ASCII.GetBytes(time, 0, 5, block, at);
        }

        /// <summary>The 8 time zones as "hh:mm"; the block is released here.  True when
        /// the exchange succeeded (the export itself always returns 1).</summary>
        public static bool ReadTimeZone(int terminal, out string[] zones)
        {
            Terminal(terminal);
            IntPtr block = IntPtr.Zero;
            zones = null;
            try
            {
                NativeMethods.ReadTimeZone(terminal, ref block);
                if (block == IntPtr.Zero || LastError != 0) return false;
                byte[] data = CopyBlock(block, 120);
                zones = new string[8];
                for (int k = 0; k < 8; k++) zones[k] = Zero(data, 15 * k, 6);
                return true;
            }
            finally
            {
                FreeBlock(block);
            }
        }

        /// <summary>Sets the 8 time zones ("hh:mm"); true when the exchange succeeded.</summary>
        public static bool SetTimeZone(int terminal, IList<string> zones)
        {
            Terminal(terminal);
            NativeMethods.SetTimeZone(terminal, Slots(zones));
            return LastError == 0;
        }

        /// <summary>The clock as "yy/mm/dd*hh:mm".</summary>
        public static bool ReadMachTime(int terminal, out string text)
        {
            Terminal(terminal);
            var buffer = new StringBuilder(16);
            bool ok = NativeMethods.ReadMachTime(terminal, buffer) == 1;
            text = ok ? buffer.ToString() : null;
            return ok;
        }

        /// <summary>Sets the clock (years 2000 to 2099, to the minute).</summary>
        public static bool SetMachTime(int terminal, DateTime when)
        {
            Terminal(terminal);
            if (when.Year < 2000 || when.Year > 2099) throw new ArgumentOutOfRangeException("when", "years 2000 to 2099");
            return NativeMethods.SetMachTime(terminal, when.ToString("yyyy/MM/dd HH:mm", CultureInfo.InvariantCulture)) == 1;
        }

        public static bool BlockMach(int terminal) { Terminal(terminal); return NativeMethods.BlockMach(terminal) == 1; }
        public static bool UnBlockMach(int terminal) { Terminal(terminal); return NativeMethods.UnBlockMach(terminal) == 1; }

        // ---- attendance terminals ----

        public static bool SetAttendTimeZone(int terminal, IList<AttendanceZone> zones)
        {
            Terminal(terminal);
            if (zones == null) throw new ArgumentNullException("zones");
            if (zones.Count != 8) throw new ArgumentException("exactly 8 zones", "zones");
            var block = new byte[120];
            for (int k = 0; k < 8; k++)
            {
                AttendanceZone z = zones[k];
                if (z == null) throw new ArgumentNullException("zones");
                PutTime(block, 15 * k, z.Start, "zones");
                PutTime(block, 15 * k + 6, z.End, "zones");
                byte[] code = Bytes(z.Code, "zones");
                if (code.Length != 2) throw new ArgumentException("codes of two characters", "zones");
                Array.Copy(code, 0, block, 15 * k + 12, 2);
            }
            NativeMethods.SetAttendTimeZone(terminal, block);
            return LastError == 0;
        }

        /// <summary>The 8 attendance zones; the block is released here.  True when the
        /// exchange succeeded.</summary>
        public static bool ReadAttendTimeZone(int terminal, out AttendanceZone[] zones)
        {
            Terminal(terminal);
            IntPtr block = IntPtr.Zero;
            zones = null;
            try
            {
                NativeMethods.ReadAttendTimeZone(terminal, ref block);
                if (block == IntPtr.Zero || LastError != 0) return false;
                byte[] data = CopyBlock(block, 120);
                zones = new AttendanceZone[8];
                for (int k = 0; k < 8; k++)
                    zones[k] = new AttendanceZone(Zero(data, 15 * k, 6), Zero(data, 15 * k + 6, 6), Zero(data, 15 * k + 12, 3));
                return true;
            }
            finally
            {
                FreeBlock(block);
            }
        }

        /// <summary>Reason `number` (0 to 255): up to 8 bytes, sent ended by 0x0F.</summary>
        public static bool SetAttendReason(int terminal, int number, string reason)
        {
            Terminal(terminal);
            if (number < 0 || number > 255) throw new ArgumentOutOfRangeException("number", "0 to 255");
            byte[] text = Bytes(reason, "reason");
            if (text.Length > 8) throw new ArgumentException("at most 8 bytes", "reason");
            if (Array.IndexOf(text, (byte)0x0F) >= 0) throw new ArgumentException("0x0F ends a reason", "reason");
            var data = new byte[8];
            for (int i = 0; i < 8; i++) data[i] = i < text.Length ? text[i] : (byte)0x0F;
            return NativeMethods.SetAttendReason(terminal, number, data) == 1;
        }

        public static bool ReadAttendReason(int terminal, int number, out string reason)
        {
            Terminal(terminal);
            if (number < 0 || number > 255) throw new ArgumentOutOfRangeException("number", "0 to 255");
            var buffer = new StringBuilder(16);
            bool ok = NativeMethods.ReadAttendReason(terminal, number, buffer) == 1;
            reason = ok ? buffer.ToString() : null;
            return ok;
        }

        /// <summary>Sets the attendance clock (14 digits yyyyMMddHHmmss on the line).</summary>
        public static bool SetAttendTime(int terminal, DateTime when)
        {
            Terminal(terminal);
            return NativeMethods.SetAttendTime(terminal, when.ToString("yyyyMMddHHmmss", CultureInfo.InvariantCulture)) == 1;
        }

        /// <summary>The attendance clock's 14 characters.</summary>
        public static bool ReadAttendTime(int terminal, out string text)
        {
            Terminal(terminal);
            var buffer = new byte[14];
            bool ok = NativeMethods.ReadAttendTime(terminal, buffer) == 1;
            text = ok ? Zero(buffer, 0, 14) : null;
            return ok;
        }

        // ---- records ----

        /// <summary>Collects one batch into the store file at `path`: `count` the records
        /// stored, `total` their sum.</summary>
        public static bool AutoReadJyzm(int terminal, string path, out int count, out float total)
        {
            Terminal(terminal);
            if (string.IsNullOrEmpty(path)) throw new ArgumentException("a path", "path");
            count = 0;
            total = 0;
            return NativeMethods.AutoReadJyzm(terminal, ref count, ref total, path) == 1;
        }

        /// <summary>Tells the terminal to clear `count` (0 to 255) records unread.</summary>
        public static bool Clearjyzm(int terminal, int count, out ushort mark)
        {
            Terminal(terminal);
            if (count < 0 || count > 255) throw new ArgumentOutOfRangeException("count", "0 to 255");
            mark = 0;
            return NativeMethods.Clearjyzm(terminal, count, ref mark) == 1;
        }

        /// <summary>Decodes 28 raw characters for terminal number `terminal`.</summary>
        public static StoreRecord SperateJyzmTxt(string raw, int terminal)
        {
            if (raw == null) throw new ArgumentNullException("raw");
            byte[] data = Encoding.ASCII.GetBytes(raw);
            if (data.Length != 28) throw new ArgumentException("28 characters", "raw");
            if (terminal < 0 || terminal > 999) throw new ArgumentOutOfRangeException("terminal", "0 to 999");
            var record = new StoreRecord { Gap1 = new byte[2], Gap2 = new byte[3] };
            NativeMethods.SperateJyzmTxt(data, terminal, ref record, 0);
            return record;
        }
    }
}
