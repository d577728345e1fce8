// Pictures per second through the C# facade's ReadFrameGetSize (packed BGR
// copied into FrameData.frame) beside the C++ facade reading the same clip the
// same way (reference_player rate), in interleaved rounds; each figure is the
// median of its rounds and the ratio the median of the ratios paired within
// each round, so a slow spell on a shared machine costs both alike.
//
//   mono bench_playback_csharp.exe <reference_player> [--rounds N] [clip]
//     (default: 5 rounds over bench_playback's 1080p25 H.264 clip of 600 pictures, made on the spot)
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Threading;
using Quillet.FFWrapperCLI;

public static class BenchPlayback
{
    private const string Clip = "bench_1080p_600.mp4";
    private const string ClipArgs = "-f lavfi -i testsrc2=size=1920x1080:rate=25 -t 24 -pix_fmt yuv420p -c:v libx264 -preset veryfast -bf 2 -g 50";

    private static double CSharpRun(string clip, out int pictures)
    {
        using (var player = new FFWrapper("bench"))
        {
            player.EnableAudio(false);
            if (!player.OpenSource(clip))
                throw new Exception("cannot open " + clip);
            player.DecodeVideo(PixelFormat.BGR24);
            var data = new FrameData();
            var clock = Stopwatch.StartNew();
            player.StartEngine();
            pictures = 0;
            for (int n; (n = player.ReadFrameGetSize(data)) >= 0; )
            {
                if (n > 0)
                    ++pictures;
                else
                    Thread.Yield();
            }
            double seconds = clock.Elapsed.TotalSeconds;
            player.CloseSource();
            return pictures / seconds;
        }
    }

    private static double CppRun(string reference, string clip, out int pictures)
    {
        var info = new ProcessStartInfo(reference, "rate " + clip) { UseShellExecute = false, RedirectStandardOutput = true };
        using (Process p = Process.Start(info))
        {
            string[] f = p.StandardOutput.ReadToEnd().Trim().Split(' ');
            p.WaitForExit();
            if (p.ExitCode != 0 || f.Length != 2)
                throw new Exception("reference_player failed");
            pictures = int.Parse(f[0]);
            return pictures / double.Parse(f[1], CultureInfo.InvariantCulture);
        }
    }

    private static double Median(List<double> values)
    {
        var sorted = values.OrderBy(v => v).ToList();
        return sorted[sorted.Count / 2];
    }

    public static int Main(string[] args)
    {
        if (args.Length < 1)
        {
            Console.Error.WriteLine("usage: bench_playback_csharp.exe <reference_player> [--rounds N] [clip]");
            return 2;
        }
        string reference = args[0], clip = null;
        int rounds = 5;
        for (int i = 1; i < args.Length; ++i)
        {
            if (args[i] == "--rounds" && i + 1 < args.Length)
                rounds = int.Parse(args[++i]);
            else
                clip = args[i];
        }
        if (clip == null)
        {
            clip = Path.GetFullPath(Clip);
            if (!File.Exists(clip))
                Process.Start(new ProcessStartInfo("ffmpeg", "-nostdin -v error -y " + ClipArgs + " " + clip) { UseShellExecute = false }).WaitForExit();
        }
        var cs = new List<double>();
        var cpp = new List<double>();
        var ratios = new List<double>();
        for (int r = 0; r < rounds; ++r)
        {
            int csPictures, cppPictures;
            cs.Add(CSharpRun(clip, out csPictures));
            cpp.Add(CppRun(reference, clip, out cppPictures));
            if (csPictures != cppPictures)
                throw new Exception(string.Format("C# read {0} pictures, C++ {1}", csPictures, cppPictures));
            ratios.Add(cs[r] / cpp[r]);
            Console.WriteLine("round {0}: C# {1:F1} pictures/s, C++ facade {2:F1} pictures/s ({3} pictures)", r + 1, cs[r], cpp[r], csPictures);
        }
        Console.WriteLine("{0}: C# ReadFrameGetSize {1:F1} pictures/s, C++ facade {2:F1} pictures/s, ratio {3:F3} (median of paired rounds)",
                          Path.GetFileName(clip), Median(cs), Median(cpp), Median(ratios));
        return 0;
    }
}
