// A .NET host on Talvo.cs, run by test_hosts.py against the software
// terminal: it calls every family of exports (mode "exports") or the line API
// (mode "line DEVICE STORE") and prints what it got as name=value lines; the
// test compares them and the request frames the terminal received.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Runtime.InteropServices;
using System.Text;
using Talvo;

static class HostTest
{
    static readonly CultureInfo C = CultureInfo.InvariantCulture;

    static void Put(string name, object value)
    {
        string text = value is bool ? ((bool)value ? "1" : "0")
                    : value is decimal ? ((decimal)value).ToString("0.00", C)
                    : value is float ? ((float)value).ToString("0.00", C)
                    : Convert.ToString(value, C);
        Console.WriteLine(name + "=" + text);
    }

    static void Refused(string name, Action call)
    {
        try
        {
            call();
            Put(name, "sent");
        }
        catch (ArgumentException)
        {
            Put(name, "refused");
        }
    }

    static void Layout()
    {
        Put("layout.StoreRecord", Marshal.SizeOf(typeof(StoreRecord)));
        Put("layout.StoreRecord.Amount", Marshal.OffsetOf(typeof(StoreRecord), "Amount"));
        Put("layout.StoreRecord.DateText", Marshal.OffsetOf(typeof(StoreRecord), "DateText"));
        Put("layout.StoreRecord.TimeText", Marshal.OffsetOf(typeof(StoreRecord), "TimeText"));
        Put("layout.StoreRecord.SecondAmount", Marshal.OffsetOf(typeof(StoreRecord), "SecondAmount"));
        Put("layout.talvo_record", Marshal.SizeOf(typeof(Record)));
        Put("layout.talvo_record.type", Marshal.OffsetOf(typeof(Record), "Type"));
        Put("layout.talvo_batch", Marshal.SizeOf(typeof(Batch)));
        Put("layout.talvo_batch.raw", Marshal.OffsetOf(typeof(Batch), "Raw"));
        Put("layout.talvo_attend_zone", Marshal.SizeOf(typeof(AttendZone)));
        Put("layout.talvo_datetime", Marshal.SizeOf(typeof(TalvoDateTime)));
        Put("layout.talvo_line_options", Marshal.SizeOf(typeof(LineOptions)));
        Put("layout.talvo_line_options.line_format", Marshal.OffsetOf(typeof(LineOptions), "LineFormat"));
    }

    static int Exports(string store)
    {
        Put("identify", Terminals.Identify());
        Put("error.start", Terminals.LastError);

        // Status and parameters.
        Put("InqStat", Terminals.InqStat(1));
        Put("ClearRAM", Terminals.ClearRAM(1));
        Put("Setcmw", Terminals.Setcmw(1, "ABC"));
        string cmw;
        Put("ReadCMW", Terminals.ReadCMW(1, out cmw));
        Put("cmw", cmw);
        Put("Setmdeb", Terminals.Setmdeb(1, 1234.56m));
        decimal mdeb;
        Put("Readmdeb", Terminals.Readmdeb(1, out mdeb));
        Put("mdeb", mdeb);

        // Blacklist.
        Put("AddHMD", Terminals.AddHMD(1, new[] { "123456", "654321" }));
        Put("ReduHMD", Terminals.ReduHMD(1, "123456"));
        Put("SetHMD", Terminals.SetHMD(1, 0x0102, new[] { "AAAAAA", "BBBBBB" }));
        string[] entries;
        Put("ReadHMD", Terminals.ReadHMD(1, 0x0102, out entries));
        Put("blacklist", string.Join(",", entries));
        Put("ClearHMD", Terminals.ClearHMD(1));

        // Card key.
        Put("CheckKey.default", Terminals.CheckKey(1, "740258"));
        Put("SetKey", Terminals.SetKey(1, "a1b2c3"));
        Put("CheckKey.wrong", Terminals.CheckKey(1, "000000"));
        Put("error.refusal", Terminals.LastError);
        bool[] flags;
        Put("Inqkey", Terminals.Inqkey(1, out flags));
        Put("flags", string.Join(",", Array.ConvertAll(flags, f => f ? "1" : "0")));

        // Price menu.
        Put("Setmenu", Terminals.Setmenu(1, new[] { 12.50m, 1234.56m }));
        decimal[] prices;
        Put("ReadMenu", Terminals.ReadMenu(1, out prices));
        Put("menu", string.Join(",", Array.ConvertAll(prices, p => p.ToString("0.00", C))));
        Put("Clearmenu", Terminals.Clearmenu(1));

        // Subsidy.
        Put("ClearList", Terminals.ClearList(1));
        Put("SetMaxbt", Terminals.SetMaxbt(1, 150.5m));
        Put("SetBtTime", Terminals.SetBtTime(1, "0800"));
        Put("AddBtList", Terminals.AddBtList(1, 258, new[] { "AAAAAAAAAAAA" }));

        // Clock, zones, lock.
        Put("SetMachTime", Terminals.SetMachTime(1, new DateTime(2024, 5, 6, 7, 8, 0)));
        string clock;
        Put("ReadMachTime", Terminals.ReadMachTime(1, out clock));
        Put("clock", clock);
        Put("SetTimeZone", Terminals.SetTimeZone(1, new[] { "06:30", "11:00", "17:00", "20:00", "00:00", "00:00", "00:00", "00:00" }));
        string[] zones;
        Put("ReadTimeZone", Terminals.ReadTimeZone(1, out zones));
        Put("zones", string.Join(",", zones));
        Put("BlockMach", Terminals.BlockMach(1));
        Put("UnBlockMach", Terminals.UnBlockMach(1));

        // Attendance terminal 2.
        var azones = new List<AttendanceZone> { new AttendanceZone("08:00", "12:00", "01"), new AttendanceZone("13:00", "17:30", "02") };
        while (azones.Count < 8) azones.Add(new AttendanceZone("00:00", "00:00", "00"));
        Put("SetAttendTimeZone", Terminals.SetAttendTimeZone(2, azones));
        AttendanceZone[] readZones;
        Put("ReadAttendTimeZone", Terminals.ReadAttendTimeZone(2, out readZones));
        Put("azones", string.Join(",", Array.ConvertAll(readZones, z => z.ToString())));
        Put("SetAttendReason", Terminals.SetAttendReason(2, 3, "AB"));
        string reason;
        Put("ReadAttendReason", Terminals.ReadAttendReason(2, 3, out reason));
        Put("reason", reason);
        Put("SetAttendTime", Terminals.SetAttendTime(2, new DateTime(2024, 5, 6, 7, 8, 9)));
        string aclock;
        Put("ReadAttendTime", Terminals.ReadAttendTime(2, out aclock));
        Put("aclock", aclock);

        // Records.
        int count;
        float total;
        Put("AutoReadJyzm", Terminals.AutoReadJyzm(1, store, out count, out total));
        Put("collected", count);
        Put("total", total);
        ushort mark;
        Put("Clearjyzm", Terminals.Clearjyzm(1, 44, out mark));
        Put("mark", mark);
        StoreRecord r = Terminals.SperateJyzmTxt("00123450341232240930005000BB", 5);
        Put("decoded", string.Join("|", r.TerminalText, r.CardNumber, r.TypeText, r.Amount.ToString("0.00", C),
                                   r.DateText.Substring(4), r.TimeText, r.SecondAmount.ToString("0.00", C)));

        // Module state.
        Put("format", "[" + Terminals.FormatFloat("%7.2f", 12.5f) + "]");
        Put("format.exponent", Terminals.FormatFloat("%.1e", 1.5f));
        Terminals.DisplayReceived = true;
        Put("display", Terminals.DisplayReceived);
        Terminals.DisplayReceived = false;

        // Checked before anything is sent.
        Refused("refuse.cmw13", () => Terminals.Setcmw(1, "ABCDEFGHIJKLM"));
        Refused("refuse.card5", () => Terminals.ReduHMD(1, "12345"));
        Refused("refuse.key", () => Terminals.SetKey(1, "12G456"));
        Refused("refuse.mdeb", () => Terminals.Setmdeb(1, 10000m));
        Refused("refuse.cents", () => Terminals.Setmdeb(1, 1.234m));
        Refused("refuse.terminal", () => Terminals.InqStat(256));
        Refused("refuse.zones", () => Terminals.SetTimeZone(1, new[] { "24:00", "00:00", "00:00", "00:00", "00:00", "00:00", "00:00", "00:00" }));
        Refused("refuse.format", () => Terminals.FormatFloat("%d", 1f));
        Refused("refuse.hmd256", () => Terminals.AddHMD(1, new string[256]));

        // A terminal that does not answer.
        Put("InqStat.silent", Terminals.InqStat(9));
        Put("error.silent", Terminals.LastError);
        return 0;
    }

    static int LineApi(string device, string store)
    {
        // The 43 exports' port is not there: they fail with -1, apart from lines.
        Put("exports.InqStat", Terminals.InqStat(1));
        Put("exports.error", Terminals.LastError);

        Put("version", Marshal.PtrToStringAnsi(NativeMethods.talvo_version()));
        Put("version.number", NativeMethods.talvo_version_number());
        LineHandle line;
        Put("open", NativeMethods.OpenLine(device, 9600, out line, 60, 250, 3));
        LineHandle second;
        Put("open.again", NativeMethods.OpenLine(device, 9600, out second, 60, 250, 3));
        Put("open.again.invalid", second.IsInvalid);
        LineHandle missing;
        Put("open.missing", NativeMethods.OpenLine("/nonexistent/tty", 9600, out missing));

        int traced = 0;
        TraceCallback trace = (user, direction, time, terminal, command, bytes, length) => { traced++; };
        using (line)
        {
            Put("set_trace", NativeMethods.talvo_line_set_trace(line, trace, IntPtr.Zero));
            Put("status", NativeMethods.talvo_status(line, 1));
            Put("cmw_set", NativeMethods.talvo_cmw_set(line, 1, "XYZ"));
            var cmw = new StringBuilder(13);
            Put("cmw_read", NativeMethods.talvo_cmw_read(line, 1, cmw, (UIntPtr)13));
            Put("cmw", cmw);
            Put("cmw_read.small", NativeMethods.talvo_cmw_read(line, 1, cmw, (UIntPtr)12));
            Put("mdeb_set", NativeMethods.talvo_mdeb_set(line, 1, 123456));
            int cents;
            Put("mdeb_read", NativeMethods.talvo_mdeb_read(line, 1, out cents));
            Put("mdeb", cents);
            Put("mdeb_set.range", NativeMethods.talvo_mdeb_set(line, 1, 1000000));
            Put("key_check.wrong", NativeMethods.talvo_key_check(line, 1, "000000"));
            var flags = new int[4];
            Put("key_flags", NativeMethods.talvo_key_flags(line, 1, flags, (UIntPtr)4));
            Put("flags", string.Join(",", flags));
            Put("blacklist_add", NativeMethods.talvo_blacklist_add(line, 1, Encoding.ASCII.GetBytes("111111222222"), (UIntPtr)2));
            var cards = new byte[6 * 32];
            UIntPtr n;
            Put("blacklist_read", NativeMethods.talvo_blacklist_read(line, 1, 0, cards, (UIntPtr)32, out n));
            Put("blacklist", Encoding.ASCII.GetString(cards, 0, 6 * (int)n));
            Put("menu_set", NativeMethods.talvo_menu_set(line, 1, new[] { 1250, 123456 }, (UIntPtr)2));
            var prices = new int[255];
            Put("menu_read", NativeMethods.talvo_menu_read(line, 1, prices, (UIntPtr)255, out n));
            Put("menu", string.Join(",", new List<int>(prices).GetRange(0, (int)n)));
            var when = new TalvoDateTime(new DateTime(2024, 5, 6, 7, 8, 0));
            Put("clock_set", NativeMethods.talvo_clock_set(line, 1, ref when));
            TalvoDateTime read;
            Put("clock_read", NativeMethods.talvo_clock_read(line, 1, out read));
            Put("clock", read.ToDateTime().ToString("yyyy-MM-dd HH:mm", C));
            var zones = new TimeOfDay[8];
            zones[0] = new TimeOfDay(6, 30);
            Put("zones_set", NativeMethods.talvo_zones_set(line, 1, zones, (UIntPtr)8));
            var azones = new AttendZone[8];
            for (int i = 0; i < 8; i++) azones[i].Code = "00";
            azones[0] = new AttendZone { Start = new TimeOfDay(8, 0), End = new TimeOfDay(12, 0), Code = "01" };
            Put("attend_zones_set", NativeMethods.talvo_attend_zones_set(line, 2, azones, (UIntPtr)8));
            var back = new AttendZone[8];
            Put("attend_zones_read", NativeMethods.talvo_attend_zones_read(line, 2, back, (UIntPtr)8));
            Put("azone0", string.Format(C, "{0:00}:{1:00}-{2:00}:{3:00}/{4}", back[0].Start.Hour, back[0].Start.Minute,
                                        back[0].End.Hour, back[0].End.Minute, back[0].Code));
            Put("attend_reason_set", NativeMethods.talvo_attend_reason_set(line, 2, 3, "AB"));
            var reason = new StringBuilder(9);
            Put("attend_reason_read", NativeMethods.talvo_attend_reason_read(line, 2, 3, reason, (UIntPtr)9));
            Put("reason", reason);

            var records = new Record[6];
            Batch batch;
            Put("fetch", NativeMethods.talvo_records_fetch(line, 1, records, (UIntPtr)6, out n, out batch));
            Put("fetch.kept", n);
            Put("fetch.count", batch.Count);
            Put("fetch.status", string.Join(",", batch.Status));
            Put("fetch.raw0", batch.RawRecord(0));
            Put("record0", string.Format(C, "{0}|{1}|{2}|{3}|{4:00}-{5:00} {6:00}:{7:00}", records[0].Terminal, records[0].Card,
                                         records[0].Type, records[0].AmountCents, records[0].Month, records[0].Day,
                                         records[0].Hour, records[0].Minute));
            Put("record1.amount", records[1].AmountCents);
            Put("confirm", NativeMethods.talvo_records_confirm(line, 1, ref batch));
            Put("confirm.again", NativeMethods.talvo_records_confirm(line, 1, ref batch));
            UIntPtr stored;
            Put("collect", NativeMethods.talvo_records_collect(line, 1, store, out stored));
            Put("collect.stored", stored);
            Put("store_append", NativeMethods.talvo_store_append(store, records, (UIntPtr)1));
            StoreRecord legacy;
            Put("record_to_store", NativeMethods.talvo_record_to_store(ref records[0], out legacy));
            Put("record_to_store.text", legacy.CardNumber + "|" + legacy.TypeText + "|" + legacy.Amount.ToString("0.00", C));

            StoreHandle storeHandle;
            Put("store_open", NativeMethods.talvo_store_open(store, out storeHandle));
            using (storeHandle)
            {
                UIntPtr total;
                Put("store_count", NativeMethods.talvo_store_count(storeHandle, out total));
                Put("store.count", total);
                var all = new Record[8];
                Put("store_read", NativeMethods.talvo_store_read(storeHandle, UIntPtr.Zero, all, (UIntPtr)8, out n));
                var cardsRead = new List<string>();
                for (int i = 0; i < (int)n; i++) cardsRead.Add(all[i].Card);
                Put("store.cards", string.Join(",", cardsRead));
            }
            StoreHandle bad;
            Put("store_open.bad", NativeMethods.talvo_store_open(store + ".bad", out bad));

            Put("status.silent", NativeMethods.talvo_status(line, 9));
            Put("last_error", NativeMethods.talvo_line_last_error(line));
            Put("strerror", Terminals.ErrorText(NativeMethods.TALVO_E_NO_REPLY));
            Put("traced", traced > 0);
        }
        Put("closed", line.IsClosed);
        GC.KeepAlive(trace);
        return 0;
    }

    // The name of the exception a call throws, and its code ("ok" when none).
    static void Throws(string name, Action call)
    {
        try
        {
            call();
            Put(name, "ok");
        }
        catch (TalvoError e)
        {
            Put(name, e.GetType().Name + " " + e.Code.ToString(C));
        }
    }

    // Mode "classes": only the Line class, as a new host would use it.
    static int Classes(string device, string store)
    {
        Throws("open.missing", () => new Line("/nonexistent/tty").Dispose());
        Throws("open.url", () => new Line("tcp://127.0.0.1").Dispose());
        Throws("open.scheme", () => new Line("udp://127.0.0.1:4001").Dispose());
        using (var line = new Line(device, 9600, null, 60, 250, 3))
        {
            Throws("open.again", () => new Line(device, 9600).Dispose());
            line.Status(1);
            line.SetCmw(1, "XYZ");
            Put("cmw", line.Cmw(1));
            line.SetMdeb(1, 1234.56m);
            Put("mdeb", line.Mdeb(1));
            Put("check_key.wrong", line.CheckKey(1, "000000"));
            line.BlacklistAdd(1, new[] { "111111", "222222" });
            Put("blacklist", string.Join(",", line.Blacklist(1)));
            line.SetMenu(1, new[] { 12.50m, 1234.56m });
            Put("menu", string.Join(",", Array.ConvertAll(line.Menu(1), p => p.ToString("0.00", C))));
            // A UTC time reaches the terminal as the local wall time.
            line.SetClock(1, new DateTime(2024, 5, 6, 7, 8, 0, DateTimeKind.Utc));
            Put("clock", line.Clock(1).ToString("yyyy-MM-dd HH:mm", C));
            var azones = new AttendZone[8];
            for (int i = 0; i < 8; i++) azones[i].Code = "00";
            azones[0] = new AttendZone { Start = new TimeOfDay(8, 0), End = new TimeOfDay(12, 0), Code = "01" };
            line.SetAttendZones(2, azones);
            AttendZone z = line.AttendZones(2)[0];
            Put("azone0", string.Format(C, "{0:00}:{1:00}-{2:00}:{3:00}/{4}", z.Start.Hour, z.Start.Minute, z.End.Hour,
                                        z.End.Minute, z.Code));

            CollectResult collected = line.Collect(1, store);
            Put("collect.stored", collected.Stored);
            Put("collect.rejected", string.Join(",", collected.Rejected.ConvertAll(r => r.ToString()).ToArray()));
            Put("collect.log", collected.RejectedLog);
            Put("collect.again", line.Collect(1, store).Stored);
            Throws("collect.bad_store", () => line.Collect(1, store + ".bad"));
            Throws("collect.folder", () => line.Collect(1, System.IO.Path.GetDirectoryName(store)));

            // Each code its own class; arguments refused before anything is sent.
            Throws("silent", () => line.Status(9));
            Throws("mdeb.range", () => line.SetMdeb(1, 10000m));
            Throws("cmw.long", () => line.SetCmw(1, "ABCDEFGHIJKLM"));
            Throws("terminal.range", () => line.Status(256));
            Throws("key.bad", () => line.SetKey(1, "12G456"));
            Put("last_error", line.LastError);
            try
            {
                line.Status(9);
            }
            catch (ExchangeError e)
            {
                Put("silent.message", e.Message);
            }
            line.Dispose();
            Throws("closed", () => line.Status(1));
        }
        return 0;
    }

    static int Main(string[] args)
    {
        Layout();
        if (args.Length == 2 && args[0] == "exports") return Exports(args[1]);
        if (args.Length == 3 && args[0] == "line") return LineApi(args[1], args[2]);
        if (args.Length == 3 && args[0] == "classes") return Classes(args[1], args[2]);
        Console.Error.WriteLine("usage: HostTest.exe exports STORE | line DEVICE STORE | classes DEVICE STORE");
        return 2;
    }
}
