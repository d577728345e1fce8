// A small test runner for the C# interface: `mono quillet_csharp_tests.exe Suite [Test]`
// runs every public static void method of the class Suite, or only Test (one ctest test per
// suite); exit status 0 passed, 1 failed, 77 skipped (a missing tool). Also the helpers the
// suites share: checks, waiting for progress, clips made on the spot with the ffmpeg tool,
// reading a clip through a facade against the C++ facade's reading, the RTSP test camera.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Threading;
using Quillet.FFWrapperCLI;

namespace Quillet.Tests
{
    public class SkipException : Exception { public SkipException(string why) : base(why) { } }

    public static class Check
    {
        public static void True(bool condition, string what)
        {
            if (!condition)
                throw new Exception("failed: " + what);
        }

        public static void Equal<T>(T expected, T actual, string what)
        {
            if (!EqualityComparer<T>.Default.Equals(expected, actual))
                throw new Exception($"failed: {what}: expected {expected}, got {actual}");
        }

        /// <summary>Waits for a condition the library's progress makes true, polling every 10 ms.</summary>
        public static void WaitFor(Func<bool> condition, double seconds, string what)
        {
            for (var clock = Stopwatch.StartNew(); !condition(); Thread.Sleep(10))
                if (clock.Elapsed.TotalSeconds > seconds)
                    throw new Exception($"failed: {what} within {seconds} s");
        }

        /// <summary>Runs <paramref name="action"/> on its own thread; fails when it has not ended in time (a deadlock).</summary>
        public static void EndsWithin(double seconds, string what, Action action)
        {
            Exception thrown = null;
            var thread = new Thread(() => { try { action(); } catch (Exception e) { thrown = e; } }) { IsBackground = true };
            thread.Start();
            if (!thread.Join(TimeSpan.FromSeconds(seconds)))
                throw new Exception($"failed: {what} did not end within {seconds} s (deadlock)");
            if (thrown != null)
                throw new Exception(what + ": " + thrown.Message, thrown);
        }

        /// <summary>Waits, collecting garbage, until the process runs no more threads than <paramref name="threads"/>.</summary>
        public static void ThreadsBackTo(int threads, string what) =>
            WaitFor(() => { GC.Collect(); GC.WaitForPendingFinalizers(); return Threads() <= threads; }, 20, what);

        public static int Threads() => Directory.GetDirectories("/proc/self/task").Length;
    }

    public static class Media
    {
        internal const string Lavfi = "-f lavfi -i testsrc2=size={0}:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -t {1} -pix_fmt yuv420p ";

        /// <summary>Three seconds with B-frames and a tone.</summary>
        public static string H264Clip() => Clip("cs_h264_320x240.mp4", string.Format(Lavfi, "320x240", 3) + "-c:v libx264 -bf 2 -g 25 -c:a aac");

        /// <summary>Makes <paramref name="name"/> in the working folder with the ffmpeg tool, once.</summary>
        public static string Clip(string name, string ffmpegArgs)
        {
            string path = Path.GetFullPath(name);
            if (File.Exists(path))
                return path;
            // Suites run side by side: each makes its own copy, and the first one in place stays,
            // so every suite reads the same bytes.
            string tmp = path + ".part" + Process.GetCurrentProcess().Id + Path.GetExtension(name);
            if (Run("ffmpeg", "-nostdin -v error -y " + ffmpegArgs + " " + tmp, out string ignored) != 0)
                throw new SkipException("the ffmpeg tool cannot make " + name);
            try
            {
                File.Move(tmp, path);
            }
            catch (IOException) when (File.Exists(path))
            {
                File.Delete(tmp);
            }
            return path;
        }

        /// <summary>Opens <paramref name="clip"/> on <paramref name="player"/> for BGR24 pictures and starts it.</summary>
        public static T Started<T>(T player, string clip, bool audio = false) where T : FFWrapper
        {
            player.EnableAudio(audio);
            Check.True(player.OpenSource(clip), "opens " + clip);
            player.DecodeVideo(PixelFormat.BGR24);
            Check.True(player.StartEngine(), "starts");
            return player;
        }

        /// <summary>Reads every picture through ReadFrameGetSize, calling <paramref name="idle"/> while none is
        /// ready: each packed in an array of its size, the array kept while the size stays, the end's -1 once.
        /// Each picture as the reference player prints it: time, size, first flag, FNV-1a hash of the bytes.</summary>
        public static List<string> PlayAll(FFWrapper player, FrameData data, Action idle = null)
        {
            var pictures = new List<string>();
            byte[] previous = null;
            int reused = 0;
            var deadline = DateTime.UtcNow.AddSeconds(60);
            for (int n; (n = player.ReadFrameGetSize(data)) != -1; )
            {
                if (n == 0)
                {
                    Check.True(DateTime.UtcNow < deadline, "the player makes progress");
                    idle?.Invoke();
                    Thread.Yield();
                    continue;
                }
                Check.True(n == data.size && n == data.width * 3 * data.height && n == data.frame.Length, "a packed picture of the size returned");
                reused += ReferenceEquals(previous, data.frame) ? 1 : 0;
                previous = data.frame;
                ulong h = 14695981039346656037UL;
                for (int i = 0; i < n; ++i)
                    h = (h ^ data.frame[i]) * 1099511628211UL;
                pictures.Add($"{data.frameTime:F6} {data.width} {data.height} {n} {(data.firstFrame ? 1 : 0)} {h:x16}");
            }
            Check.Equal(0, player.ReadFrameGetSize(data), "a read after the end");
            Check.Equal(pictures.Count - 1, reused, "pictures of one size that kept the frame array");
            return pictures;
        }

        /// <summary>Checks <paramref name="actual"/> against every picture the C++ facade reads from <paramref name="clip"/>.</summary>
        public static void SameAsReference(string clip, List<string> actual, string what)
        {
            string helper = Environment.GetEnvironmentVariable("QUILLET_CS_REFERENCE");
            if (string.IsNullOrEmpty(helper) || !File.Exists(helper))
                throw new SkipException("no reference player (QUILLET_CS_REFERENCE)");
            Check.Equal(0, Run(helper, "frames " + clip, out string output), "the reference player on " + clip);
            List<string> expected = output.Split('\n').Where(l => l.Length > 0).ToList();
            Check.True(expected.Count > 10 && expected.Count == actual.Count, $"{what}: {actual.Count} pictures of the reference's {expected.Count}");
            for (int i = 0; i < expected.Count; ++i)
                Check.Equal(expected[i], actual[i], what + ": picture " + i);
        }

        /// <summary>Runs a program to its end; its status, and what it wrote to standard output.</summary>
        public static int Run(string file, string arguments, out string output)
        {
            using (Process p = Start(file, arguments))
            {
                output = p.StandardOutput.ReadToEnd();
                p.WaitForExit();
                return p.ExitCode;
            }
        }

        public static Process Start(string file, string arguments) =>
            Process.Start(new ProcessStartInfo(file, arguments) { UseShellExecute = false, RedirectStandardOutput = true });
    }

    /// <summary>The shared RTSP test camera on 127.0.0.1, on a port of its own, until it is disposed.</summary>
    public sealed class Camera : IDisposable
    {
        private const string Python = "/usr/bin/python3";
        private readonly Process _process;
        private string _url;

        public Camera(string arguments)
        {
            string script = Environment.GetEnvironmentVariable("QUILLET_RTSP_TEST_SERVER");
            if (string.IsNullOrEmpty(script) || !File.Exists(script) || !File.Exists(Python))
                throw new SkipException("no RTSP test camera");
            if (Media.Run(Python, "-c \"import gi; gi.require_version('GstRtspServer', '1.0'); from gi.repository import GstRtspServer\"", out string ignored) != 0)
                throw new SkipException("no GStreamer RTSP server for python3");
            _process = Media.Start(Python, script + " --port 0 " + arguments);
            var ready = new ManualResetEvent(false);
            new Thread(() =>
            {
                for (string line; (line = _process.StandardOutput.ReadLine()) != null; )
                    if (line.StartsWith("READY "))
                    {
                        _url = line.Substring(6);
                        ready.Set();
                    }
            }) { IsBackground = true }.Start();
            if (!ready.WaitOne(TimeSpan.FromSeconds(20)))
                throw new Exception("the RTSP test camera did not start");
        }

        public string Url(string mount) => _url + mount;

        /// <summary>Stops the camera process (SIGSTOP), as when a camera's network goes silent, or lets it go on.</summary>
        public void Hang(bool hung) => Media.Run("kill", (hung ? "-STOP " : "-CONT ") + _process.Id, out string ignored);

        public void Dispose()
        {
            if (!_process.HasExited)
                _process.Kill();
            _process.WaitForExit();
        }
    }

    public static class TestRunner
    {
        public static int Main(string[] args)
        {
            if (args.Length == 2 && args[0] == "--forget-camera")
                return CameraTests.ForgetReconnectingCamera(args[1]);
            Type suite = args.Length >= 1 ? Type.GetType("Quillet.Tests." + args[0]) : null;
            if (suite == null)
            {
                Console.Error.WriteLine("usage: quillet_csharp_tests.exe <Suite> [Test]");
                return 2;
            }
            int failed = 0, skipped = 0, passed = 0;
            foreach (MethodInfo test in suite.GetMethods(BindingFlags.Public | BindingFlags.Static)
                                             .Where(m => m.ReturnType == typeof(void) && m.GetParameters().Length == 0 && (args.Length < 2 || m.Name == args[1])))
            {
                var clock = Stopwatch.StartNew();
                string verdict = "[  OK  ]", detail = "";
                try
                {
                    test.Invoke(null, null);
                    ++passed;
                }
                catch (TargetInvocationException e)
                {
                    bool skip = e.InnerException is SkipException;
                    verdict = skip ? "[ SKIP ]" : "[ FAIL ]";
                    detail = ": " + (skip ? e.InnerException.Message : e.InnerException.ToString());
                    skipped += skip ? 1 : 0;
                    failed += skip ? 0 : 1;
                }
                Console.WriteLine($"{verdict} {suite.Name}.{test.Name} ({clock.ElapsedMilliseconds} ms){detail}");
            }
            Console.WriteLine($"{suite.Name}: {passed} passed, {failed} failed, {skipped} skipped");
            return failed > 0 ? 1 : passed == 0 && skipped > 0 ? 77 : 0;
        }
    }
}
