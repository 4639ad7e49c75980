// scan PORT [--seconds N]: prints each code read on COM<PORT>, one per line.
//   mcs -r:System.dll -out:scan.exe Scan.cs ../../bindings/csharp/Belvor.cs && mono scan.exe 3
using System;
using System.Collections.Concurrent;
using System.ComponentModel;
using System.Diagnostics;

static class Scan
{
    static int Main(string[] args)
    {
        int port;
        if ((args.Length != 1 && !(args.Length == 3 && args[1] == "--seconds")) || !int.TryParse(args[0], out port)) {
            Console.Error.WriteLine("usage: scan PORT [--seconds N]");
            return 2;
        }
        double seconds = args.Length == 3 ? double.Parse(args[2]) : double.PositiveInfinity;
        var codes = new BlockingCollection<string>(); // the driver's thread adds, this one prints
        bool stop = false;
        Console.CancelKeyPress += (sender, e) => { e.Cancel = true; stop = true; };

        Belvor.Scanner scanner;
        try {
            scanner = new Belvor.Scanner(port, (sender, e) => codes.Add(e.Text));
        } catch (Win32Exception e) {
            Console.Error.WriteLine("scan: " + e.Message);
            return 1;
        }
        var clock = Stopwatch.StartNew();
        using (scanner) {
            string code;
            while (!stop && clock.Elapsed.TotalSeconds < seconds)
                if (codes.TryTake(out code, 100))
                    Console.WriteLine(code);
        }
        foreach (string code in codes.ToArray()) // what came before the driver was gone
            Console.WriteLine(code);
        return 0;
    }
}
