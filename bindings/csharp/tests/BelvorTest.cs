// The C# binding against the real libbelvor.so under Mono, with ptys standing in for
// scanners. Needs BELVOR_LIBRARY and BELVOR_SYSTEM_DIR (ctest sets both).
using System;
using System.Collections.Generic;
using System.ComponentModel;
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

    // A pty linked as COM<port> in the system directory: what is written to it arrives as if scanned.
    sealed class FakeScanner : IDisposable
    {
        [DllImport("libc.so.6")] static extern int posix_openpt(int flags);
        [DllImport("libc.so.6")] static extern int grantpt(int fd);
        [DllImport("libc.so.6")] static extern int unlockpt(int fd);
        [DllImport("libc.so.6")] static extern IntPtr ptsname(int fd);
        [DllImport("libc.so.6")] static extern int symlink(string target, string link);
        [DllImport("libc.so.6")] static extern int unlink(string path);
        [DllImport("libc.so.6")] static extern int close(int fd);
        [DllImport("libc.so.6")] static extern IntPtr write(int fd, byte[] data, IntPtr count);

        readonly int master;
        readonly string link;

        public FakeScanner(int port)
        {
            master = posix_openpt(2 | 0x100 /* O_RDWR | O_NOCTTY */);
            if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
                throw new Exception("no pty");
            link = Environment.GetEnvironmentVariable("BELVOR_SYSTEM_DIR") + "/com" + port;
            unlink(link);
            symlink(Marshal.PtrToStringAnsi(ptsname(master)), link);
        }

        public void Send(string data)
        {
            byte[] bytes = Encoding.ASCII.GetBytes(data);
            write(master, bytes, (IntPtr)bytes.Length);
        }

        public void Dispose()
        {
            unlink(link);
            close(master);
        }
    }

    // Codes as the event handler saw them, and a way to wait for the nth.
    sealed class Received
    {
        public readonly List<string> Texts = new List<string>();
        public readonly List<byte[]> Bytes = new List<byte[]>();

        public void Add(object sender, CodeEventArgs e)
        {
            lock (this) {
                Texts.Add(e.Text);
                Bytes.Add(e.Code);
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
        Check(Marshal.SizeOf(typeof(ScannerStats)) == 144 &&
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
        Check(s.Size == 144 && s.ReaderStalled == 0 && s.MsSinceRound < 5000 && s.Port == 63 && s.State == PortState.Open && s.CodesDelivered == 2 &&
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
        Console.WriteLine(failed == 0 ? "all passed" : failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
