// The C# binding against the real libbelvor.so under Mono, with ptys standing in for
// scanners. Needs BELVOR_LIBRARY and BELVOR_SYSTEM_DIR (ctest sets both).
using System;
using System.Collections.Generic;
using System.ComponentModel;
using System.Diagnostics;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using Belvor;

static class BelvorTest
{
    static int failed;

    static void Check(bool ok, string what)
    {
        Console.WriteLine((ok ? "ok: " : "FAILED: ") + what);
        if (!ok)
            failed++;
    }

    // A pty linked as COM<port> in the system directory, made by the simulated scanner
    // (tools/scanner-sim.py --stdin): what is sent arrives as if scanned; Dispose pulls the cable.
    sealed class FakeScanner : IDisposable
    {
        readonly Process feed;

        public FakeScanner(int port)
        {
            var start = new ProcessStartInfo(Environment.GetEnvironmentVariable("BELVOR_PYTHON3"),
                Environment.GetEnvironmentVariable("BELVOR_SCANNER_SIM") + " --stdin --port " + port + " --dir " +
                Environment.GetEnvironmentVariable("BELVOR_SYSTEM_DIR"));
            start.UseShellExecute = false;
            start.RedirectStandardInput = true;
            start.RedirectStandardOutput = true;
            feed = Process.Start(start);
            string ready = feed.StandardOutput.ReadLine();
            if (ready == null || !ready.StartsWith("scanner-sim: COM" + port + " is "))
                throw new Exception("no pty: " + ready);
        }

        public void Send(string data)
        {
            byte[] bytes = Encoding.ASCII.GetBytes(data);
            feed.StandardInput.BaseStream.Write(bytes, 0, bytes.Length);
            feed.StandardInput.BaseStream.Flush();
        }

        public void Dispose()
        {
            feed.StandardInput.Close();
            feed.WaitForExit();
            feed.Dispose();
        }
    }

    // Codes as the event handler saw them, and a way to wait for the nth.
    sealed class Received
    {
        public readonly List<string> Texts = new List<string>();
        public readonly List<byte[]> Bytes = new List<byte[]>();
        public readonly List<ScanEventArgs> Scans = new List<ScanEventArgs>();

        public void Add(object sender, CodeEventArgs e)
        {
            lock (this) {
                Texts.Add(e.Text);
                Bytes.Add(e.Code);
                Monitor.PulseAll(this);
            }
        }

        public void AddScan(object sender, ScanEventArgs e)
        {
            lock (this) {
                Texts.Add(e.Text);
                Scans.Add(e);
                Monitor.PulseAll(this);
            }
        }

        public void AddStatus(object sender, StatusEventArgs e)
        {
            lock (this) {
                Texts.Add(e.Status + " " + e.Detail);
                Monitor.PulseAll(this);
            }
        }

        public string Wait(int count)
        {
            lock (this) {
                DateTime end = DateTime.UtcNow.AddSeconds(10);
                while (Texts.Count < count && DateTime.UtcNow < end)
                    Monitor.Wait(this, 100);
                return string.Join("|", Texts.ToArray());
            }
        }
    }

    static void ExpectError(int port, int errno, string message)
    {
        try {
            new Scanner(port, null).Dispose();
            Check(false, "COM" + port + " fails");
        } catch (Win32Exception e) {
            Check(e.NativeErrorCode == errno && e.Message.Contains(message),
                  "COM" + port + ": Win32Exception " + e.NativeErrorCode + " \"" + e.Message + "\"");
        }
    }

    // The handler is reachable only through the scanner and the library's delegates.
    [MethodImpl(MethodImplOptions.NoInlining)]
    static Scanner OpenWithoutReferences(int port, Received received)
    {
        return new Scanner(port, new EventHandler<CodeEventArgs>(received.Add));
    }

    [DllImport("libdl.so.2")] static extern IntPtr dlopen(string name, int flags);
    [DllImport("libdl.so.2")] static extern IntPtr dlsym(IntPtr handle, string name);
    [UnmanagedFunctionPointer(CallingConvention.Winapi)] delegate int InitDriverFn(uint port, IntPtr callback);
    [UnmanagedFunctionPointer(CallingConvention.Winapi)] delegate int DestroyDriverFn();

    static T Function<T>(IntPtr library, string name) where T : class
    {
        return (T)(object)Marshal.GetDelegateForFunctionPointer(dlsym(library, name), typeof(T));
    }

    // Another user of the library in this process creates a driver behind the binding's back.
    static void AnotherUser()
    {
        IntPtr library = dlopen(Environment.GetEnvironmentVariable("BELVOR_LIBRARY"), 2 /* RTLD_NOW */);
        using (var a = new FakeScanner(63))
        using (var b = new FakeScanner(67)) {
            Check(Function<InitDriverFn>(library, "InitDriver")(63, IntPtr.Zero) == 0, "another user's driver 0");
            try {
                new Scanner(67).Dispose();
                Check(false, "a scanner whose driver is not the one expected throws");
            } catch (InvalidOperationException e) {
                Check(e.Message.Contains("driver 1 created, 0 expected"), "index checked: " + e.Message);
            }
            Check(Function<DestroyDriverFn>(library, "DestroyDriver")() == 0,
                  "the binding destroyed its own driver, not the other user's");
            using (var alone = new Scanner(63))
                Check(alone.Index == 0, "and it keeps no trace of the refused scanner");
        }
    }

    // A code that comes before InitDriver returns (the stand-in library sends one then).
    static void EarlyCode()
    {
        string path = Environment.GetEnvironmentVariable("BELVOR_EARLY_CODE_LIBRARY");
        var seen = new List<string>();
        EventHandler<CodeEventArgs> record = (sender, e) => {
            lock (seen)
                seen.Add(e.Driver + "/" + ((Scanner)sender).Index + ":" + e.Text);
        };
        using (var first = new Scanner(1, record, path))
        using (var second = new Scanner(2, record, path)) {
            string got;
            lock (seen)
                got = string.Join("|", seen.ToArray());
            Check(got == "0/0:early|1/1:early", "a code before InitDriver returns names its driver: " + got);
        }
    }

    // A code cut by the port's own MaxLength, the line hung up and back: the status events come
    // in order with the codes, and the statistics add up.
    static void StatusAndStats()
    {
        Check(Marshal.SizeOf(typeof(ScannerStats)) == 152 &&
              Marshal.OffsetOf(typeof(ScannerStats), "CodesUnidentified").ToInt32() == 144 &&
              Marshal.OffsetOf(typeof(ScannerStats), "ReaderStalls").ToInt32() == 128 &&
              Marshal.OffsetOf(typeof(ScannerStats), "MsSinceRound").ToInt32() == 140 &&
              Marshal.OffsetOf(typeof(ScannerStats), "QueueLength").ToInt32() == 112 &&
              Marshal.OffsetOf(typeof(ScannerStats), "MsSinceCode").ToInt32() == 120, "ScannerStats is BelvorStats");
        string ini = Environment.GetEnvironmentVariable("BELVOR_SYSTEM_DIR") + "/Belvor.ini";
        System.IO.File.WriteAllText(ini, "[COM63]\r\nMaxLength=4\r\n");
        var got = new Received();
        var line = new FakeScanner(63);
        var scanner = new Scanner(63, got.Add);
        scanner.StatusChanged += got.AddStatus;
        Check(scanner.Stats.MsSinceCode == -1, "no code yet");
        line.Send("123456\r12\r");
        Check(got.Wait(3) == "CodeCut 6|1234|12", "the cut comes just before its code: " + got.Wait(3));
        line.Dispose(); // unplugged
        Check(got.Wait(4).EndsWith("|Lost 5"), "lost, with EIO: " + got.Wait(4));
        ScannerStats lost = scanner.Stats;
        Check(lost.State == PortState.Lost && lost.LastError == 5 && lost.Losses == 1, "stats while lost");
        line = new FakeScanner(63);
        Check(got.Wait(5).EndsWith("|Back 0"), "back: " + got.Wait(5));
        ScannerStats s = scanner.Stats;
        Check(s.Size == 152 && s.CodesUnidentified == 0 && s.ReaderStalled == 0 && s.MsSinceRound < 5000 &&
              s.Port == 63 && s.State == PortState.Open && s.CodesDelivered == 2 &&
              s.CodesCut == 1 && s.CodesDropped == 0 && s.BytesReceived == 10 && s.Returns == 1 &&
              s.QueueLength == 0 && s.MsSinceCode >= 0, "the stats add up");
        scanner.Dispose();
        line.Dispose();
        System.IO.File.Delete(ini);
        try {
            s = scanner.Stats;
            Check(false, "no stats once disposed");
        } catch (ObjectDisposedException) {
            Check(true, "no stats once disposed");
        }
    }

    const string DataMatrix = "]d2" + "0109501101530003" + "17250100" + "10ABC" + "\u001d" + "21XYZ";

    static string Describe(ScanEventArgs s)
    {
        var fields = new List<string>();
        foreach (KeyValuePair<string, string> field in s.Fields)
            fields.Add(field.Key + "=" + field.Value);
        var errors = new List<string>();
        foreach (Gs1Error error in s.Errors)
            errors.Add(error.Ai + ":" + error.Kind + "@" + error.Position);
        return string.Format("{0} {1} [{2}] {3} {4} ({5}) ({6})", s.Driver, s.Aim, s.Type, s.Text,
                             Encoding.ASCII.GetString(s.Data), string.Join(" ", fields.ToArray()),
                             string.Join(" ", errors.ToArray()));
    }

    // ParseScan on codes got elsewhere: what each is, its fields, and what is wrong with them.
    static void ParseScans()
    {
        var cases = new[] {
            new { Code = DataMatrix, Aim = true,
                  Expected = "-1 ]d2 [208] " + DataMatrix.Substring(3) + " " + DataMatrix +
                             " (01=09501101530003 17=250100 10=ABC 21=XYZ) ()" },
            new { Code = "]E04006381333931", Aim = true,
                  Expected = "-1 ]E0 [104] 4006381333931 ]E04006381333931 (01=04006381333931) ()" },
            new { Code = "4006381333931", Aim = true, Expected = "-1  [0] 4006381333931 4006381333931 () ()" },
            new { Code = DataMatrix, Aim = false, Expected = "-1  [0] " + DataMatrix + " " + DataMatrix + " () ()" },
            new { Code = "]d2" + "17250230" + "0109501101530004", Aim = true,
                  Expected = "-1 ]d2 [208] 172502300109501101530004 ]d2172502300109501101530004 " +
                             "(17=250230 01=09501101530004) (17:BadDate@2 01:CheckDigit@23)" },
            // A kind the library numbers past the first seven, by the binding's name for it.
            new { Code = "]d2422999", Aim = true, Expected = "-1 ]d2 [208] 422999 ]d2422999 (422=999) (422:BadCountry@3)" },
        };
        foreach (var c in cases) {
            string got = Describe(BelvorLibrary.ParseScan(Encoding.ASCII.GetBytes(c.Code), c.Aim));
            Check(got == c.Expected, "ParseScan " + c.Code + " aim " + c.Aim + ": " + got);
        }
        ScanEventArgs scan = BelvorLibrary.ParseScan(Encoding.ASCII.GetBytes(DataMatrix));
        Check(scan.Gtin == "09501101530003" && scan.Expiry == new DateTime(2025, 1, 31) && scan.Batch == "ABC" &&
              scan.Serial == "XYZ" && scan.BestBefore == null && scan.Flags == (ScanFlags.Identified | ScanFlags.Gs1),
              "the typed fields of a GS1 DataMatrix");
        scan = BelvorLibrary.ParseScan(Encoding.ASCII.GetBytes("4006381333931"));
        Check(scan.Gtin == null && scan.Expiry == null && scan.Flags == ScanFlags.None, "none for a plain code");
        try {
            BelvorLibrary.ParseScan(new byte[8193]);
            Check(false, "a code over 8192 bytes is refused");
        } catch (ArgumentException) {
            Check(true, "a code over 8192 bytes is refused");
        }
    }

    // GS1's dates: DD 00 the month's end, leap years, the century within -49..+50 years of today's.
    static void Gs1Dates()
    {
        var cases = new[] {
            new { Value = "250131", Year = 2026, Expected = "2025-01-31" },
            new { Value = "250100", Year = 2026, Expected = "2025-01-31" },
            new { Value = "250400", Year = 2026, Expected = "2025-04-30" },
            new { Value = "250200", Year = 2026, Expected = "2025-02-28" },
            new { Value = "240200", Year = 2026, Expected = "2024-02-29" },
            new { Value = "240229", Year = 2026, Expected = "2024-02-29" },
            new { Value = "250229", Year = 2026, Expected = "none" },
            new { Value = "000200", Year = 2026, Expected = "2000-02-29" },
            new { Value = "000200", Year = 2060, Expected = "2100-02-28" },
            new { Value = "000229", Year = 2060, Expected = "none" },
            new { Value = "760101", Year = 2026, Expected = "2076-01-01" },
            new { Value = "770101", Year = 2026, Expected = "1977-01-01" },
            new { Value = "260101", Year = 2075, Expected = "2026-01-01" },
            new { Value = "250101", Year = 2075, Expected = "2125-01-01" },
            new { Value = "250431", Year = 2026, Expected = "none" },
            new { Value = "250001", Year = 2026, Expected = "none" },
            new { Value = "251301", Year = 2026, Expected = "none" },
            new { Value = "25013", Year = 2026, Expected = "none" },
            new { Value = "25O131", Year = 2026, Expected = "none" },
            new { Value = "\uff12\uff15\uff10\uff11\uff13\uff11", Year = 2026, Expected = "none" },
        };
        foreach (var c in cases) {
            DateTime? date = ScanEventArgs.Gs1Date(c.Value, new DateTime(c.Year, 6, 15));
            string got = date.HasValue ? date.Value.ToString("yyyy-MM-dd") : "none";
            Check(got == c.Expected, "GS1 date " + c.Value + " in " + c.Year + ": " + got);
        }
    }

    // Through the scan callback on a line set to read identifiers: each scan to its scanner,
    // the Code event still with the bytes as received, and a scanner without Scan as before.
    static void Scans()
    {
        string ini = Environment.GetEnvironmentVariable("BELVOR_SYSTEM_DIR") + "/Belvor.ini";
        System.IO.File.WriteAllText(ini, "[COM63]\r\nSymbologyId=Aim\r\nAllowCodes=29, 32-126\r\n");
        var codes = new Received();
        var scans = new Received();
        var plain = new Received();
        using (var a = new FakeScanner(63))
        using (var b = new FakeScanner(67))
        using (var scanner = new Scanner(63, codes.Add, onScan: scans.AddScan))
        using (var other = new Scanner(67, plain.Add)) {
            Check(scanner.Library.Scans, "the library has SetScanProc");
            a.Send(DataMatrix + "\r4006381333931\r");
            b.Send("12ab\r");
            Check(plain.Wait(1) == "12", "a scanner without Scan gets its codes: " + plain.Wait(1));
            scans.Wait(2);
            Check(codes.Wait(2) == DataMatrix + "|4006381333931", "and Code the bytes as received: " + codes.Wait(2));
            Check(scanner.Stats.CodesUnidentified == 1, "the code without an identifier counted");
        }
        System.IO.File.Delete(ini);
        Check(scans.Scans.Count == 2, "two scans");
        if (scans.Scans.Count != 2)
            return;
        ScanEventArgs first = scans.Scans[0];
        Check(Describe(first) == "0 ]d2 [208] " + DataMatrix.Substring(3) + " " + DataMatrix +
                                     " (01=09501101530003 17=250100 10=ABC 21=XYZ) ()" &&
              first.Expiry == new DateTime(2025, 1, 31), "a GS1 DataMatrix scanned: " + Describe(first));
        Check(Describe(scans.Scans[1]) == "0  [0] 4006381333931 4006381333931 () ()",
              "a code without identifier: " + Describe(scans.Scans[1]));
    }

    static int Main()
    {
        ExpectError(0, 22, "Invalid argument");
        ExpectError(250, 2, "No such file or directory"); // no com250 link, no /dev/ttyS249

        using (var a = new FakeScanner(63))
        using (var b = new FakeScanner(67)) {
            var first = new Received();
            Scanner older = OpenWithoutReferences(63, first);
            Check(older.Library.Tagged, "the library has SetCodeProc");
            for (int i = 0; i < 3; i++) {
                // The classic crash: a callback delegate collected while the driver still calls it.
                GC.Collect();
                GC.WaitForPendingFinalizers();
                GC.Collect();
                a.Send("C" + i + "\r");
                first.Wait(i + 1);
            }
            Check(first.Wait(3) == "C0|C1|C2", "codes survive forced garbage collections: " + first.Wait(3));

            a.Send("12ab\r\r");
            string texts = first.Wait(5);
            Check(texts == "C0|C1|C2|12|", "the empty code and the allow-list: " + texts);
            Check(first.Bytes[3].Length == 2 && first.Bytes[3][0] == (byte)'1' && first.Bytes[4].Length == 0,
                  "codes as byte[]");

            var second = new Received();
            Scanner newer = new Scanner(67, second.Add);
            Check(newer.Index == 1, "the second scanner is driver 1");
            b.Send("B\r");
            a.Send("A\r");
            Check(second.Wait(1) == "B" && first.Wait(6).EndsWith("|A"), "each scanner gets its own codes");
            try {
                older.Dispose();
                Check(false, "disposing of the older scanner first throws");
            } catch (InvalidOperationException e) {
                Check(e.Message.Contains("not the newest"), "out of order: " + e.Message);
            }
            a.Send("D\r");
            Check(first.Wait(7).EndsWith("|D"), "the older scanner still reads");
            newer.Dispose();
            older.Dispose();
            older.Dispose(); // twice is harmless
            using (var again = new Scanner(63))
                Check(again.Index == 0, "both drivers destroyed: the next is driver 0 again");
        }
        AnotherUser();
        EarlyCode();
        StatusAndStats();
        Gs1Dates();
        ParseScans();
        Scans();
        Console.WriteLine(failed == 0 ? "all passed" : failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
