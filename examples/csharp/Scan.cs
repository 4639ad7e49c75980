// scan PORT [--seconds N]: prints each code read on COM<PORT>, one per line; one the library
// knows more of with its type and, for GS1 data, its GTIN, expiry and batch.
//   mcs -r:System.dll -out:scan.exe Scan.cs ../../bindings/csharp/Belvor.cs && mono scan.exe 3
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.ComponentModel;
using System.Diagnostics;

static class Scan
{
    static string Describe(Belvor.ScanEventArgs scan)
    {
        var facts = new List<string>();
        if (scan.Type != 0)
            facts.Add("type " + scan.Type);
        if (scan.Gtin != null)
            facts.Add("GTIN " + scan.Gtin);
        if (scan.Expiry.HasValue)
            facts.Add("expiry " + scan.Expiry.Value.ToString("yyyy-MM-dd"));
        if (scan.Batch != null)
            facts.Add("batch " + scan.Batch);
        return facts.Count == 0 ? scan.Text : scan.Text + "  (" + string.Join(", ", facts.ToArray()) + ")";
    }

    static int Main(string[] args)
    {
        int port;
        if ((args.Length != 1 && !(args.Length == 3 && args[1] == "--seconds")) || !int.TryParse(args[0], out port)) {
            Console.Error.WriteLine("usage: scan PORT [--seconds N]");
            return 2;
        }
        double seconds = args.Length == 3 ? double.Parse(args[2]) : double.PositiveInfinity;
        var codes = new BlockingCollection<Belvor.ScanEventArgs>(); // the driver's thread adds, this one prints
        bool stop = false;
        Console.CancelKeyPress += (sender, e) => { e.Cancel = true; stop = true; };

        Belvor.Scanner scanner;
        try {
            scanner = new Belvor.Scanner(port, onScan: (sender, e) => codes.Add(e));
        } catch (Win32Exception e) {
            Console.Error.WriteLine("scan: " + e.Message);
            return 1;
        }
        var clock = Stopwatch.StartNew();
        using (scanner) {
            Belvor.ScanEventArgs code;
            while (!stop && clock.Elapsed.TotalSeconds < seconds)
                if (codes.TryTake(out code, 100))
                    Console.WriteLine(Describe(code));
        }
        foreach (Belvor.ScanEventArgs code in codes.ToArray()) // what came before the driver was gone
            Console.WriteLine(Describe(code));
        return 0;
    }
}
