// Belvor bar-code scanner driver for C# (.NET Framework, .NET, Mono on Windows and Linux).
// Add this one file to your project. See docs/hosts.md for what the driver expects of a host.
//
//   using (var scanner = new Belvor.Scanner(3))      // COM3; Win32Exception if it cannot open
//   {
//       scanner.Code += (s, e) => queue.Add(e.Text); // on the driver's thread: hand over, return
//       scanner.StatusChanged += (s, e) => ...;        // lost, back, codes cut or dropped: likewise
//       ...                                            // scanner.Stats: the driver's counters
//   }
//   new Belvor.Scanner(3, onScan: (s, e) => ...)       // e.Type, e.Gtin, e.Expiry, e.Batch, e.Fields
//   Belvor.BelvorLibrary.ParseScan(bytes)              // the same of a code got elsewhere
using System;
using System.Collections.Generic;
using System.ComponentModel;
using System.Runtime.InteropServices;
using System.Text;

namespace Belvor
{
    /// <summary>One scanned code. Raised on a thread of the driver's own.</summary>
    public sealed class CodeEventArgs : EventArgs
    {
        static readonly Encoding Latin1 = Encoding.GetEncoding(28591);

        public CodeEventArgs(int driver, byte[] code)
        {
            Driver = driver;
            Code = code;
        }

        /// <summary>The index of the driver that read the code (InitDriver's result).</summary>
        public int Driver { get; private set; }

        /// <summary>The code's bytes, a copy of the driver's buffer.</summary>
        public byte[] Code { get; private set; }

        /// <summary>The code as text, one character per byte (Latin-1).</summary>
        public string Text
        {
            get { return Latin1.GetString(Code); }
        }
    }

    /// <summary>What a StatusChanged event tells (BELVOR_STATUS_*).</summary>
    public enum ScannerStatus
    {
        /// <summary>The scanner is gone; Detail: the system's error code.</summary>
        Lost = 1,
        /// <summary>It is back and reading again.</summary>
        Back = 2,
        /// <summary>Detail: how many codes were dropped while the queue was full.</summary>
        CodesDropped = 3,
        /// <summary>Detail: the length the next code had as received, before it was cut.</summary>
        CodeCut = 4,
        /// <summary>The port's reader is stuck, 5 s past what a round may take (Detail: milliseconds
        /// since its last round), or runs again (Detail: 0).</summary>
        Stalled = 5,
    }

    /// <summary>A change of the scanner's line, or codes lost. Raised on the driver's thread,
    /// in order with the codes.</summary>
    public sealed class StatusEventArgs : EventArgs
    {
        public StatusEventArgs(int driver, ScannerStatus status, uint detail)
        {
            Driver = driver;
            Status = status;
            Detail = detail;
        }

        public int Driver { get; private set; }
        public ScannerStatus Status { get; private set; }
        public uint Detail { get; private set; }
    }

    /// <summary>BELVOR_SCAN_*: what the library could read of a code.</summary>
    [Flags]
    public enum ScanFlags : uint
    {
        None = 0,
        /// <summary>A valid symbology identifier came first.</summary>
        Identified = 1,
        /// <summary>Fields holds GS1 data (Errors may hold what is wrong).</summary>
        Gs1 = 2,
        /// <summary>Read from a GS1 Digital Link URI.</summary>
        DigitalLink = 4,
    }

    /// <summary>BELVOR_GS1_*: what is wrong with a GS1 code; its fields stay.</summary>
    public enum Gs1ErrorKind : uint
    {
        UnknownAi = 1,
        TooShort = 2,
        /// <summary>A separator missing?</summary>
        TooLong = 3,
        BadCharacter = 4,
        CheckDigit = 5,
        BadDate = 6,
        BadTime = 7,
        BadCountry = 8,
        BadCurrency = 9,
        /// <summary>No GS1 Company Prefix.</summary>
        BadKey = 10,
        BadValue = 11,
        /// <summary>Digital Link: a path AI that does not qualify its key there.</summary>
        BadQualifier = 12,
        /// <summary>Digital Link: a query AI that may not stand there.</summary>
        NotAttribute = 13,
        /// <summary>Digital Link: a bad escape, or no key.</summary>
        BadUri = 14,
    }

    /// <summary>One thing wrong with a GS1 code.</summary>
    public sealed class Gs1Error
    {
        public Gs1Error(string ai, Gs1ErrorKind kind, int position)
        {
            Ai = ai;
            Kind = kind;
            Position = position;
        }

        /// <summary>The field's AI, "" when none could be read.</summary>
        public string Ai { get; private set; }
        public Gs1ErrorKind Kind { get; private set; }
        /// <summary>Where in the label, from 0.</summary>
        public int Position { get; private set; }
    }

    /// <summary>
    /// One code and what it is, copied from the library's buffers: raised on a thread of the
    /// driver's own (Scanner.Scan), or returned by BelvorLibrary.ParseScan.
    /// </summary>
    public sealed class ScanEventArgs : EventArgs
    {
        static readonly Encoding Latin1 = Encoding.GetEncoding(28591);

        ScanEventArgs()
        {
        }

        /// <summary>The index of the driver that read the code; -1 from ParseScan.</summary>
        public int Driver { get; private set; }
        /// <summary>The code as received, identifier and all.</summary>
        public byte[] Data { get; private set; }
        /// <summary>The code without its identifier.</summary>
        public byte[] Label { get; private set; }
        /// <summary>The label as text, one character per byte (Latin-1).</summary>
        public string Text
        {
            get { return Latin1.GetString(Label); }
        }
        /// <summary>The symbology identifier, "]d2"; "" when none.</summary>
        public string Aim { get; private set; }
        /// <summary>A ScanDataType number (docs/hosts.md); 0 when not known.</summary>
        public int Type { get; private set; }
        public ScanFlags Flags { get; private set; }
        /// <summary>The GS1 fields in the order scanned: AI and value (Latin-1).</summary>
        public IList<KeyValuePair<string, string>> Fields { get; private set; }
        /// <summary>What is wrong with them: the library never drops a field, the host decides.</summary>
        public IList<Gs1Error> Errors { get; private set; }

        /// <summary>The value of the first field with that AI; null when there is none.</summary>
        public string Field(string ai)
        {
            foreach (KeyValuePair<string, string> field in Fields)
                if (field.Key == ai)
                    return field.Value;
            return null;
        }

        public string Gtin
        {
            get { return Field("01"); }
        }
        public string Batch
        {
            get { return Field("10"); }
        }
        public string Serial
        {
            get { return Field("21"); }
        }
        /// <summary>AI 17 as a date; null when absent or no date.</summary>
        public DateTime? Expiry
        {
            get { return Gs1Date(Field("17"), DateTime.Today); }
        }
        /// <summary>AI 15 as a date; null when absent or no date.</summary>
        public DateTime? BestBefore
        {
            get { return Gs1Date(Field("15"), DateTime.Today); }
        }

        /// <summary>
        /// A GS1 date field's value (YYMMDD) as a date; null when it names no day. DD 00 is the
        /// month's last day; the century puts the year within 49 years before and 50 after
        /// today's (GS1's rule).
        /// </summary>
        public static DateTime? Gs1Date(string yymmdd, DateTime today)
        {
            if (yymmdd == null || yymmdd.Length != 6)
                return null;
            foreach (char c in yymmdd)
                if (c < '0' || c > '9')
                    return null;
            int year = today.Year - today.Year % 100 + (yymmdd[0] - '0') * 10 + (yymmdd[1] - '0');
            int month = (yymmdd[2] - '0') * 10 + (yymmdd[3] - '0');
            int day = (yymmdd[4] - '0') * 10 + (yymmdd[5] - '0');
            if (year - today.Year > 50)
                year -= 100;
            else if (year - today.Year < -49)
                year += 100;
            if (month < 1 || month > 12)
                return null;
            int last = DateTime.DaysInMonth(year, month);
            if (day > last)
                return null;
            return new DateTime(year, month, day == 0 ? last : day);
        }

        // The C structs of belvor.h: pointer-sized fields where the header has pointers.
        [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
        internal struct NativeScan
        {
            public uint Size;
            public int Driver;
            public IntPtr Data;
            public uint DataLength;
            public uint Type;
            public IntPtr Label;
            public uint LabelLength;
            public uint Flags;
            [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 8)]
            public string Aim;
            public IntPtr Fields;
            public uint FieldCount;
            public uint ErrorCount;
            public IntPtr Errors;
        }

        [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
        internal struct NativeGs1Field
        {
            [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 8)]
            public string Ai;
            public IntPtr Value;
            public uint ValueLength;
        }

        [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
        internal struct NativeGs1Error
        {
            [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 8)]
            public string Ai;
            public uint Kind;
            public uint Position;
        }

        internal static byte[] Copy(IntPtr data, uint length)
        {
            var bytes = new byte[length];
            if (length > 0)
                Marshal.Copy(data, bytes, 0, (int)length);
            return bytes;
        }

        // Everything the BelvorScan points to, copied: it lasts only the library's call.
        internal static ScanEventArgs FromNative(IntPtr pointer)
        {
            var scan = (NativeScan)Marshal.PtrToStructure(pointer, typeof(NativeScan));
            var fields = new List<KeyValuePair<string, string>>();
            int size = Marshal.SizeOf(typeof(NativeGs1Field));
            for (int i = 0; i < scan.FieldCount; i++) {
                var field = (NativeGs1Field)Marshal.PtrToStructure(scan.Fields + i * size, typeof(NativeGs1Field));
                fields.Add(new KeyValuePair<string, string>(
                    field.Ai, Latin1.GetString(Copy(field.Value, field.ValueLength))));
            }
            var errors = new List<Gs1Error>();
            size = Marshal.SizeOf(typeof(NativeGs1Error));
            for (int i = 0; i < scan.ErrorCount; i++) {
                var error = (NativeGs1Error)Marshal.PtrToStructure(scan.Errors + i * size, typeof(NativeGs1Error));
                errors.Add(new Gs1Error(error.Ai, (Gs1ErrorKind)error.Kind, (int)error.Position));
            }
            return new ScanEventArgs {
                Driver = scan.Driver,
                Data = Copy(scan.Data, scan.DataLength),
                Label = Copy(scan.Label, scan.LabelLength),
                Aim = scan.Aim ?? "",
                Type = (int)scan.Type,
                Flags = (ScanFlags)scan.Flags,
                Fields = fields.AsReadOnly(),
                Errors = errors.AsReadOnly(),
            };
        }
    }

    /// <summary>BELVOR_PORT_*: the state of a scanner's port.</summary>
    public enum PortState : uint
    {
        Open = 1,
        /// <summary>Gone; the driver opens the port anew every second.</summary>
        Lost = 2,
        /// <summary>Gone, and [Port] Reconnect=0 keeps it so.</summary>
        Gone = 3,
    }

    /// <summary>What a driver has done since it was made: the C struct BelvorStats, 152 bytes
    /// with the same offsets in 32- and 64-bit processes.</summary>
    [StructLayout(LayoutKind.Sequential, Size = 152)]
    public struct ScannerStats
    {
        public uint Size;
        public uint Port;
        public PortState State;
        public uint LastError; // the system's code of the last loss, 0 when none
        public ulong CodesDelivered;
        public ulong CodesUndelivered; // no callback was set
        public ulong CodesCut; // longer than [Code] MaxLength=
        public ulong CodesDropped; // the queue was full
        public ulong BytesReceived;
        public ulong BytesRefused; // not allowed in a code
        public ulong Overruns;
        public ulong ParityErrors;
        public ulong FramingErrors;
        public ulong Breaks;
        public ulong Losses;
        public ulong Returns;
        public uint QueueLength; // codes waiting for delivery now
        public uint QueueHigh; // the most that ever waited
        public long MsSinceCode; // -1 before the first code
        // From 1.2 on; a 1.1 library leaves them 0.
        public ulong ReaderStalls; // times the port's reader got stuck (5 s past what a round may take)
        public uint ReaderStalled; // 1 while it is stuck so
        public uint MsSinceRound; // since its last round; 0 while the line is gone for good
        public ulong CodesUnidentified; // [Code] SymbologyId=Aim, yet no valid identifier came first
    }

    /// <summary>
    /// One loaded Belvor library: its functions, its driver table and the one callback all
    /// its drivers share. Loaded once per path and kept for the life of the process, since
    /// the driver may call the callback until then.
    /// </summary>
    public sealed class BelvorLibrary
    {
        // Winapi is stdcall on 32-bit Windows, the platform's C convention elsewhere: BELVOR_CALL.
        [UnmanagedFunctionPointer(CallingConvention.Winapi, SetLastError = true)]
        delegate int InitDriverFn(uint port, EventProcFn callback);
        [UnmanagedFunctionPointer(CallingConvention.Winapi, SetLastError = true)]
        delegate int DestroyDriverFn();
        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        delegate IntPtr SetCodeProcFn(CodeProcFn proc, IntPtr context);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        delegate IntPtr SetStatusProcFn(StatusProcFn proc, IntPtr context);
        [UnmanagedFunctionPointer(CallingConvention.Winapi, SetLastError = true)]
        delegate int GetDriverStatsFn(int driver, ref ScannerStats stats);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        delegate void StatusProcFn(int driver, int status, uint detail, IntPtr context);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        delegate void EventProcFn(IntPtr code);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        delegate void CodeProcFn(int driver, IntPtr data, uint length, IntPtr context);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        delegate IntPtr SetScanProcFn(ScanProcFn proc, IntPtr context);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        delegate int ParseScanFn(byte[] data, uint length, uint flags, ScanProcFn proc, IntPtr context);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        delegate void ScanProcFn(IntPtr scan, IntPtr context);

        static readonly bool Windows = Environment.OSVersion.Platform == PlatformID.Win32NT;
        static readonly Dictionary<string, BelvorLibrary> Loaded = new Dictionary<string, BelvorLibrary>();

        readonly InitDriverFn initDriver;
        readonly DestroyDriverFn destroyDriver;
        // The delegates the driver calls: these fields keep them from the garbage collector.
        readonly EventProcFn eventProc;
        readonly CodeProcFn codeProc;
        readonly StatusProcFn statusProc;
        readonly ScanProcFn scanProc;
        readonly GetDriverStatsFn getDriverStats; // null: an older library
        readonly ParseScanFn parseScan; // likewise
        readonly List<Scanner> scanners = new List<Scanner>(); // live, oldest first

        /// <summary>The file loaded.</summary>
        public string Path { get; private set; }

        /// <summary>Whether codes come tagged with their driver (the library has SetCodeProc).</summary>
        public bool Tagged { get; private set; }

        /// <summary>
        /// Whether the library tells what each code is (it has SetScanProc and ParseScan): every
        /// code then comes through its scan callback, and Scanner.Scan can be raised.
        /// </summary>
        public bool Scans { get; private set; }

        /// <summary>
        /// The library at path; null: $BELVOR_LIBRARY, else the NuGet package's (runtimes/RID/native
        /// beside this assembly), else Belvor.dll on Windows, libbelvor.so.1 then libbelvor.so
        /// elsewhere. DllNotFoundException when none loads.
        /// </summary>
        public static BelvorLibrary Load(string path = null)
        {
            path = path ?? Environment.GetEnvironmentVariable("BELVOR_LIBRARY");
            if (string.IsNullOrEmpty(path))
                path = null;
            lock (Loaded) {
                BelvorLibrary library;
                if (!Loaded.TryGetValue(path ?? "", out library)) {
                    library = new BelvorLibrary(path);
                    Loaded[path ?? ""] = library;
                }
                return library;
            }
        }

        // Where a project that takes the NuGet package finds its native library: in the build's
        // output, runtimes/RID/native beside this assembly (the package's layout), the ones there.
        static IEnumerable<string> PackagedLibraries(IEnumerable<string> names)
        {
            string rid = (Windows ? "win-" : "linux-") + (IntPtr.Size == 8 ? "x64" : "x86");
            string here = System.IO.Path.GetDirectoryName(typeof(BelvorLibrary).Assembly.Location) ?? "";
            string folder = System.IO.Path.Combine(System.IO.Path.Combine(here, "runtimes"),
                                                   System.IO.Path.Combine(rid, "native"));
            foreach (string name in names) {
                string file = System.IO.Path.Combine(folder, name);
                if (System.IO.File.Exists(file))
                    yield return file;
            }
        }

        BelvorLibrary(string path)
        {
            var names = new List<string>();
            if (path != null)
                names.Add(path);
            else {
                names.AddRange(Windows ? new[] { "Belvor.dll" } : new[] { "libbelvor.so.1", "libbelvor.so" });
                names.InsertRange(0, new List<string>(PackagedLibraries(names)));
            }
            IntPtr handle = IntPtr.Zero;
            var errors = new StringBuilder();
            foreach (string name in names) {
                handle = Native.Open(name, errors);
                if (handle != IntPtr.Zero) {
                    Path = name;
                    break;
                }
            }
            if (handle == IntPtr.Zero)
                throw new DllNotFoundException("Cannot load the Belvor library:" + errors);
            initDriver = Function<InitDriverFn>(handle, "InitDriver");
            destroyDriver = Function<DestroyDriverFn>(handle, "DestroyDriver");
            eventProc = OnEvent;
            codeProc = OnCode;
            IntPtr setCodeProc = Native.Symbol(handle, "SetCodeProc");
            if (setCodeProc != IntPtr.Zero) {
                var set = (SetCodeProcFn)Marshal.GetDelegateForFunctionPointer(setCodeProc, typeof(SetCodeProcFn));
                set(codeProc, IntPtr.Zero);
                Tagged = true;
            }
            IntPtr setStatusProc = Native.Symbol(handle, "SetStatusProc");
            if (setStatusProc != IntPtr.Zero && Native.Symbol(handle, "GetDriverStats") != IntPtr.Zero) {
                if (Marshal.SizeOf(typeof(ScannerStats)) != 152)
                    throw new InvalidOperationException("ScannerStats is not the library's 152 bytes");
                getDriverStats = Function<GetDriverStatsFn>(handle, "GetDriverStats");
                statusProc = OnStatus;
                var set = (SetStatusProcFn)Marshal.GetDelegateForFunctionPointer(setStatusProc,
                                                                                  typeof(SetStatusProcFn));
                set(statusProc, IntPtr.Zero);
            }
            // Set once, here, as the CodeProc: a swap later would wait for the handlers under way.
            // The Code event gets the same bytes through it.
            IntPtr setScanProc = Native.Symbol(handle, "SetScanProc");
            if (setScanProc != IntPtr.Zero && Native.Symbol(handle, "ParseScan") != IntPtr.Zero) {
                parseScan = Function<ParseScanFn>(handle, "ParseScan");
                scanProc = OnScan;
                var set = (SetScanProcFn)Marshal.GetDelegateForFunctionPointer(setScanProc, typeof(SetScanProcFn));
                set(scanProc, IntPtr.Zero);
                Scans = true;
            }
        }

        /// <summary>
        /// What a code got elsewhere (a keyboard wedge, a camera) is, as Scanner.Scan would
        /// tell it (Driver -1); aim: it starts with its symbology identifier ("]d2..."). Needs no
        /// scanner. ArgumentException for a code over 8192 bytes; NotSupportedException with an
        /// older library.
        /// </summary>
        public static ScanEventArgs ParseScan(byte[] code, bool aim = true, string libraryPath = null)
        {
            if (code == null)
                throw new ArgumentNullException("code");
            return Load(libraryPath).Parse(code, aim);
        }

        // Not under lock (this), as Stats: ParseScan touches no driver, and a handler may call it.
        ScanEventArgs Parse(byte[] code, bool aim)
        {
            if (parseScan == null)
                throw new NotSupportedException(Path + " has no ParseScan: an older library");
            ScanEventArgs result = null;
            Exception failure = null;
            // Called back on this thread before ParseScan returns.
            ScanProcFn proc = (scan, context) => {
                try {
                    result = ScanEventArgs.FromNative(scan);
                } catch (Exception e) {
                    failure = e; // not into the library's frames
                }
            };
            int refused = parseScan(code, (uint)code.Length, aim ? 1u : 0u, proc, IntPtr.Zero);
            GC.KeepAlive(proc);
            if (refused < 0)
                throw new ArgumentException("ParseScan refused a code of " + code.Length + " bytes", "code");
            if (result == null)
                throw new InvalidOperationException("ParseScan returned without the scan", failure);
            return result;
        }

        static T Function<T>(IntPtr handle, string name) where T : class
        {
            IntPtr address = Native.Symbol(handle, name);
            if (address == IntPtr.Zero)
                throw new EntryPointNotFoundException(name + " is not in the Belvor library");
            return (T)(object)Marshal.GetDelegateForFunctionPointer(address, typeof(T));
        }

        // The driver's threads: copy the code, then hand it to the scanner's event.
        void OnEvent(IntPtr code)
        {
            if (code == IntPtr.Zero)
                return;
            var bytes = new byte[Marshal.ReadByte(code)];
            Marshal.Copy(code + 1, bytes, 0, bytes.Length);
            Scanner newest;
            lock (scanners)
                newest = scanners.Count > 0 ? scanners[scanners.Count - 1] : null;
            if (newest != null)
                newest.Raise(bytes);
        }

        void OnCode(int driver, IntPtr data, uint length, IntPtr context)
        {
            var bytes = new byte[length];
            if (length > 0)
                Marshal.Copy(data, bytes, 0, (int)length);
            Scanner scanner;
            lock (scanners)
                scanner = driver >= 0 && driver < scanners.Count ? scanners[driver] : null;
            if (scanner != null)
                scanner.Raise(bytes);
        }

        void OnScan(IntPtr scan, IntPtr context)
        {
            if (scan == IntPtr.Zero)
                return;
            int driver = Marshal.ReadInt32(scan, 4); // BelvorScan.driver
            Scanner scanner;
            lock (scanners)
                scanner = driver >= 0 && driver < scanners.Count ? scanners[driver] : null;
            if (scanner != null)
                scanner.RaiseScan(scan);
        }

        void OnStatus(int driver, int status, uint detail, IntPtr context)
        {
            Scanner scanner;
            lock (scanners)
                scanner = driver >= 0 && driver < scanners.Count ? scanners[driver] : null;
            if (scanner != null)
                scanner.RaiseStatus(new StatusEventArgs(driver, (ScannerStatus)status, detail));
        }

        // Not under lock (this): a handler may ask while Close waits for it in DestroyDriver.
        internal ScannerStats Stats(Scanner scanner)
        {
            if (getDriverStats == null)
                throw new NotSupportedException(Path + " has no GetDriverStats: an older library");
            lock (scanners)
                if (!scanners.Contains(scanner))
                    throw new ObjectDisposedException(scanner.ToString());
            var stats = new ScannerStats { Size = (uint)Marshal.SizeOf(typeof(ScannerStats)) };
            IntPtr errno = Native.ErrnoAddress();
            if (getDriverStats(scanner.Index, ref stats) < 0)
                throw Native.Error(Native.LastError(errno), "GetDriverStats");
            return stats;
        }

        // Creates the scanner's driver and returns its index, which the scanner already has.
        internal int Open(Scanner scanner, int port)
        {
            lock (this) {
                // In place, with the index the driver will have, before the driver exists:
                // its first code may come before InitDriver returns.
                int expected;
                lock (scanners) {
                    expected = scanners.Count;
                    scanner.Index = expected;
                    scanners.Add(scanner);
                }
                IntPtr errno = Native.ErrnoAddress();
                int index = initDriver((uint)port, eventProc);
                if (index < 0) {
                    int error = Native.LastError(errno);
                    lock (scanners)
                        scanners.Remove(scanner);
                    throw Native.Error(error, "COM" + port);
                }
                if (index != expected) {
                    // Drivers created behind this object's back: codes would go to the wrong scanner.
                    destroyDriver();
                    lock (scanners)
                        scanners.Remove(scanner);
                    throw new InvalidOperationException(string.Format(
                        "driver {0} created, {1} expected: {2} has another user in this process", index, expected,
                        Path));
                }
                return index;
            }
        }

        internal void Close(Scanner scanner)
        {
            lock (this) {
                lock (scanners) {
                    if (!scanners.Contains(scanner))
                        return;
                    Scanner newest = scanners[scanners.Count - 1];
                    if (newest != scanner)
                        throw new InvalidOperationException(string.Format(
                            "{0} is not the newest scanner: the driver destroys the newest one, {1}; dispose of that first",
                            scanner, newest));
                }
                IntPtr errno = Native.ErrnoAddress();
                if (destroyDriver() < 0) {
                    // The driver refuses while one of its threads is in a callback (EDEADLK).
                    throw new InvalidOperationException(scanner + " cannot be disposed of from inside a callback",
                                                        Native.Error(Native.LastError(errno), "DestroyDriver"));
                }
                lock (scanners)
                    scanners.Remove(scanner);
            }
        }

        // Loading by a path chosen at run time, on Windows and on Mono / .NET on Linux.
        static class Native
        {
            [DllImport("kernel32", SetLastError = true, CharSet = CharSet.Unicode)]
            static extern IntPtr LoadLibraryW(string name);
            [DllImport("kernel32", CharSet = CharSet.Ansi, BestFitMapping = false)]
            static extern IntPtr GetProcAddress(IntPtr module, string name);
            [DllImport("libdl.so.2")]
            static extern IntPtr dlopen(string name, int flags);
            [DllImport("libdl.so.2")]
            static extern IntPtr dlsym(IntPtr handle, string name);
            [DllImport("libdl.so.2")]
            static extern IntPtr dlerror();
            [DllImport("libc.so.6")]
            static extern IntPtr strerror(int code);
            [DllImport("libc.so.6")]
            static extern IntPtr __errno_location();

            // Mono keeps no errno for delegates of native functions: the thread's errno is read
            // right after the call, at an address found before it (finding it may change errno).
            public static IntPtr ErrnoAddress()
            {
                return Windows ? IntPtr.Zero : __errno_location();
            }

            public static int LastError(IntPtr errnoAddress)
            {
                return Windows ? Marshal.GetLastWin32Error() : Marshal.ReadInt32(errnoAddress);
            }

            public static IntPtr Open(string name, StringBuilder errors)
            {
                if (Windows) {
                    IntPtr module = LoadLibraryW(name);
                    if (module == IntPtr.Zero)
                        errors.Append(" " + name + ": " + new Win32Exception(Marshal.GetLastWin32Error()).Message);
                    return module;
                }
                IntPtr handle = dlopen(name, 2 /* RTLD_NOW */);
                if (handle == IntPtr.Zero)
                    errors.Append(" " + Marshal.PtrToStringAnsi(dlerror()) + ";");
                return handle;
            }

            public static IntPtr Symbol(IntPtr handle, string name)
            {
                return Windows ? GetProcAddress(handle, name) : dlsym(handle, name);
            }

            // Win32Exception knows Windows' messages only; errno's come from the C library.
            public static Win32Exception Error(int code, string what)
            {
                string message = Windows ? new Win32Exception(code).Message
                                         : Marshal.PtrToStringAnsi(strerror(code));
                return new Win32Exception(code, what + ": " + message);
            }
        }
    }

    /// <summary>
    /// A driver for the scanner on COM<i>port</i>. Dispose of scanners newest first; the Code
    /// event runs on the driver's thread (use Control.BeginInvoke / Dispatcher.BeginInvoke).
    /// </summary>
    public sealed class Scanner : IDisposable
    {
        readonly BelvorLibrary library;
        EventHandler<ScanEventArgs> scan;
        bool disposed;

        /// <summary>
        /// Creates the driver. Win32Exception (NativeErrorCode: GetLastError() or errno) when it
        /// cannot; DllNotFoundException when the library does not load; InvalidOperationException
        /// (and no driver left) when something else in the process created drivers of the library.
        /// onScan: subscribed to Scan before the driver exists.
        /// </summary>
        public Scanner(int port, EventHandler<CodeEventArgs> onCode = null, string libraryPath = null,
                       EventHandler<ScanEventArgs> onScan = null)
        {
            Port = port;
            if (onCode != null)
                Code += onCode;
            library = BelvorLibrary.Load(libraryPath);
            if (onScan != null)
                Scan += onScan;
            Index = library.Open(this, port);
        }

        /// <summary>Every code this scanner reads, on the driver's thread. Copy and return.</summary>
        public event EventHandler<CodeEventArgs> Code;

        /// <summary>
        /// Every code this scanner reads with what it is (symbology, GTIN, expiry, batch...), on
        /// the driver's thread, after Code. Copy and return. NotSupportedException on subscribing
        /// with an older library.
        /// </summary>
        public event EventHandler<ScanEventArgs> Scan
        {
            add {
                if (!library.Scans)
                    throw new NotSupportedException(library.Path + " has no SetScanProc: an older library");
                lock (this)
                    scan += value;
            }
            remove {
                lock (this)
                    scan -= value;
            }
        }

        public int Port { get; private set; }
        /// <summary>The driver's index: InitDriver's result.</summary>
        public int Index { get; internal set; }

        public BelvorLibrary Library
        {
            get { return library; }
        }

        /// <summary>
        /// The scanner lost and back, codes cut or dropped: on the driver's thread, in order with
        /// the codes. Hand over and return, as for Code.
        /// </summary>
        public event EventHandler<StatusEventArgs> StatusChanged;

        /// <summary>
        /// The driver's statistics now; from any thread, a handler's too. ObjectDisposedException
        /// once disposed, NotSupportedException with an older library.
        /// </summary>
        public ScannerStats Stats
        {
            get { return library.Stats(this); }
        }

        internal void Raise(byte[] code)
        {
            Call(Code, new CodeEventArgs(Index, code), "Code");
        }

        internal void RaiseScan(IntPtr native)
        {
            EventHandler<CodeEventArgs> code = Code;
            EventHandler<ScanEventArgs> onScan = scan;
            if (code == null && onScan == null)
                return;
            ScanEventArgs args = null;
            byte[] bytes;
            try {
                // Copied before any handler runs: the library's buffers last only this call.
                if (onScan != null)
                    args = ScanEventArgs.FromNative(native);
                var raw = (ScanEventArgs.NativeScan)Marshal.PtrToStructure(native, typeof(ScanEventArgs.NativeScan));
                bytes = ScanEventArgs.Copy(raw.Data, raw.DataLength);
            } catch (Exception e) {
                System.Diagnostics.Trace.TraceError("Belvor: a scan of {0} could not be copied: {1}", this, e);
                return;
            }
            Call(code, new CodeEventArgs(Index, bytes), "Code");
            if (args != null)
                Call(onScan, args, "Scan");
        }

        internal void RaiseStatus(StatusEventArgs status)
        {
            Call(StatusChanged, status, "StatusChanged");
        }

        void Call<T>(EventHandler<T> handler, T args, string name) where T : EventArgs
        {
            if (handler == null)
                return;
            try {
                handler(this, args);
            } catch (Exception e) {
                // An exception must not unwind into the driver's native thread.
                System.Diagnostics.Trace.TraceError("Belvor: the {0} handler of {1} failed: {2}", name, this, e);
            }
        }

        /// <summary>Destroys the driver. InvalidOperationException if a newer scanner is live.</summary>
        public void Dispose()
        {
            if (disposed)
                return;
            library.Close(this);
            disposed = true;
        }

        public override string ToString()
        {
            return string.Format("Scanner COM{0} (driver {1})", Port, Index);
        }
    }
}
