// Plays a file, URL or camera through the C# interface, saves every Nth picture
// as a PPM image and prints the events as they arrive.
//
//   mcs -r:/opt/quillet/lib/cli/quillet/Quillet.FFWrapperCLI.dll -out:play_snapshots.exe PlaySnapshots.cs
//   MONO_PATH=/opt/quillet/lib/cli/quillet mono play_snapshots.exe <file-or-url> [N] [--user U --password P]
using System;
using System.IO;
using System.Text;
using System.Threading;
using Quillet.FFWrapperCLI;

public static class PlaySnapshots
{
    public static int Main(string[] args)
    {
        if (args.Length < 1)
        {
            Console.Error.WriteLine("usage: play_snapshots.exe <file-or-url> [every-Nth-picture] [--user U --password P]");
            return 2;
        }
        string source = args[0], user = "", password = "";
        int every = 25;
        for (int i = 1; i < args.Length; ++i)
        {
            if (args[i] == "--user" && i + 1 < args.Length) user = args[++i];
            else if (args[i] == "--password" && i + 1 < args.Length) password = args[++i];
            else every = Math.Max(1, int.Parse(args[i]));
        }
        bool camera = source.StartsWith("rtsp://", StringComparison.OrdinalIgnoreCase);
        // A camera needs its settings (credentials), which the live server facade takes.
        FFWrapper player = camera ? new FFFileServerWrapper("play_snapshots") : new FFWrapper("play_snapshots");
        using (player)
        {
            if (camera)
                ((FFFileServerWrapper)player).SetSourceSettings(new SourceSettings { username = user, password = password });
            var ended = new ManualResetEvent(false);
            player.RegisterFFEventCallback(PrintEvent);
            player.RegisterFFEventCallback(e =>
            {
                var m = e as FFMessageEventArgs;
                if (m != null && m.message != FFMessageType.NoError && m.message != FFMessageType.SyncPointReady)
                    ended.Set();
            });
            player.EnableAudio(false);
            if (!player.OpenSource(source))
            {
                Console.Error.WriteLine("cannot open {0}: {1}", source, player.GetOpenFailureReason());
                return 1;
            }
            player.DecodeVideo(PixelFormat.RGB24);
            Console.WriteLine("{0}: {1}x{2}, {3:F2} s", source, player.Width(), player.Height(), player.GetDuration());
            player.StartEngine();
            var picture = new FrameData();
            int pictures = 0, saved = 0;
            var idle = DateTime.UtcNow;
            for (int n; (n = player.ReadFrameGetSize(picture)) >= 0; )
            {
                if (n == 0)
                {
                    if (ended.WaitOne(0) || (DateTime.UtcNow - idle).TotalSeconds > 20)
                        break;
                    Thread.Sleep(2);
                    continue;
                }
                idle = DateTime.UtcNow;
                if (pictures++ % every == 0)
                {
                    SavePpm(string.Format("picture_{0:D5}.ppm", pictures - 1), picture);
                    ++saved;
                }
                if (camera && pictures >= 10 * every)
                    break;
            }
            Console.WriteLine("played {0} pictures, saved {1}", pictures, saved);
            return pictures > 0 ? 0 : 1;
        }
    }

    private static void PrintEvent(EventArgs e)
    {
        var m = e as FFMessageEventArgs;
        var s = e as SourceConnectionStatusArgs;
        var p = e as SyncPointEventArgs;
        if (m != null)
            Console.WriteLine("event: {0}", m.message);
        else if (s != null)
            Console.WriteLine("event: connection {0} ({1})", s.status, s.message);
        else if (p != null)
            Console.WriteLine("event: sync point {0} at {1} = {2:o}", p.fileName, p.videoTime, p.PCTimeUTC);
    }

    private static void SavePpm(string name, FrameData picture)
    {
        using (var file = File.Create(name))
        {
            byte[] header = Encoding.ASCII.GetBytes(string.Format("P6\n{0} {1}\n255\n", picture.width, picture.height));
            file.Write(header, 0, header.Length);
            file.Write(picture.frame, 0, picture.size);
        }
    }
}
