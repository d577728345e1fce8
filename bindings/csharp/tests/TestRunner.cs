// A small test runner for the C# interface: `mono quillet_csharp_tests.exe Suite [Test]`
// runs every public static void method of the class Suite, or only Test (one ctest test per
// suite); exit status 0 passed, 1 failed, 77 skipped (a missing tool). Also the
// helpers the suites share: checks, waiting for progress, test media made on
// the spot with the ffmpeg tool, the C++ facade's view of a clip, the RTSP
// test camera.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using System.Reflection;
using System.Text;
using System.Threading;
using Quillet.FFWrapperCLI;

namespace Quillet.Tests
{
    public class SkipException : Exception
    {
        public SkipException(string why) : base(why) { }
    }

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
                throw new Exception(string.Format("failed: {0}: expected {1}, got {2}", what, expected, actual));
        }

        /// <summary>Waits for a condition the library's progress makes true, polling every 10 ms.</summary>
        public static void WaitFor(Func<bool> condition, double seconds, string what)
        {
            var clock = Stopwatch.StartNew();
            while (!condition())
            {
                if (clock.Elapsed.TotalSeconds > seconds)
                    throw new Exception(string.Format("failed: {0} within {1} s", what, seconds));
                Thread.Sleep(10);
            }
        }

        /// <summary>Runs <paramref name="action"/> on its own thread; fails when it has not ended in time (a deadlock).</summary>
        public static void EndsWithin(double seconds, string what, Action action)
        {
            Exception thrown = null;
            var thread = new Thread(() => { try { action(); } catch (Exception e) { thrown = e; } }) { IsBackground = true };
            thread.Start();
            if (!thread.Join(TimeSpan.FromSeconds(seconds)))
                throw new Exception("failed: " + what + " did not end within " + seconds + " s (deadlock)");
            if (thrown != null)
                throw new Exception(what + ": " + thrown.Message, thrown);
        }
    }

    /// <summary>One picture as compared between the C# and the C++ facade.</summary>
    public struct Picture
    {
        public double Time;
        public int Width, Height, Size;
        public bool First;
        public ulong Hash;

        public override string ToString()
        {
            return string.Format("{0:F6} {1} {2} {3} {4} {5:x16}", Time, Width, Height, Size, First ? 1 : 0, Hash);
        }

        public static Picture Of(FrameData d)
        {
            return new Picture { Time = d.frameTime, Width = d.width, Height = d.height, Size = d.size, First = d.firstFrame, Hash = Fnv1a(d.frame, d.size) };
        }

        public static ulong Fnv1a(byte[] bytes, int size)
        {
            ulong h = 14695981039346656037UL;
            for (int i = 0; i < size; ++i)
                h = (h ^ bytes[i]) * 1099511628211UL;
            return h;
        }
    }

    public static class Media
    {
        /// <summary>Makes <paramref name="name"/> in the working folder with the ffmpeg tool, once.</summary>
        public static string Clip(string name, string ffmpegArgs)
        {
            string path = Path.GetFullPath(name);
            if (!File.Exists(path))
            {
                // Suites run side by side: each makes its own copy, and the first one in place stays,
                // so every suite reads the same bytes.
                string tmp = path + ".part" + Process.GetCurrentProcess().Id + Path.GetExtension(name);
                string ignored;
                if (Run("ffmpeg", "-nostdin -v error -y " + ffmpegArgs + " " + tmp, out ignored) != 0)
                    throw new SkipException("the ffmpeg tool cannot make " + name);
                try
                {
                    File.Move(tmp, path);
                }
                catch (IOException) when (File.Exists(path))
                {
                    File.Delete(tmp);
                }
            }
            return path;
        }

        /// <summary>Every picture of a clip as the C++ facade hands it out.</summary>
        public static List<Picture> Reference(string clip)
        {
            string helper = Environment.GetEnvironmentVariable("QUILLET_CS_REFERENCE");
            if (string.IsNullOrEmpty(helper) || !File.Exists(helper))
                throw new SkipException("no reference player (QUILLET_CS_REFERENCE)");
            string output;
            if (Run(helper, "frames " + clip, out output) != 0)
                throw new Exception("the reference player failed on " + clip);
            var list = new List<Picture>();
            foreach (string line in output.Split('\n'))
            {
                string[] f = line.Split(' ');
                if (f.Length != 6)
                    continue;
                list.Add(new Picture
                {
                    Time = double.Parse(f[0], System.Globalization.CultureInfo.InvariantCulture),
                    Width = int.Parse(f[1]), Height = int.Parse(f[2]), Size = int.Parse(f[3]), First = f[4] == "1",
                    Hash = Convert.ToUInt64(f[5], 16),
                });
            }
            return list;
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

        public static Process Start(string file, string arguments)
        {
            var info = new ProcessStartInfo(file, arguments) { UseShellExecute = false, RedirectStandardOutput = true };
            return Process.Start(info);
        }
    }

    /// <summary>The shared RTSP test camera on 127.0.0.1, on a port of its own, until it is killed.</summary>
    public sealed class Camera : IDisposable
    {
        private const string Python = "/usr/bin/python3";
        private Process _process;
        public readonly int Port;

        public Camera(string arguments)
        {
            string script = Environment.GetEnvironmentVariable("QUILLET_RTSP_TEST_SERVER");
            if (string.IsNullOrEmpty(script) || !File.Exists(script) || !File.Exists(Python))
                throw new SkipException("no RTSP test camera");
            string ignored;
            if (Media.Run(Python, "-c \"import gi; gi.require_version('GstRtspServer', '1.0'); from gi.repository import GstRtspServer\"", out ignored) != 0)
                throw new SkipException("no GStreamer RTSP server for python3");
            var probe = new TcpListener(IPAddress.Loopback, 0);
            probe.Start();
            Port = ((IPEndPoint)probe.LocalEndpoint).Port;
            probe.Stop();
            _process = Media.Start(Python, script + " --port " + Port + " " + arguments);
            var ready = new ManualResetEvent(false);
            var reader = new Thread(() =>
            {
                string line;
                while ((line = _process.StandardOutput.ReadLine()) != null)
                    if (line.StartsWith("READY"))
                        ready.Set();
            }) { IsBackground = true };
            reader.Start();
            if (!ready.WaitOne(TimeSpan.FromSeconds(20)))
                throw new Exception("the RTSP test camera did not start");
        }

        public string Url(string mount) { return "rtsp://127.0.0.1:" + Port + mount; }

        /// <summary>Stops the camera process (SIGSTOP), as when a camera's network goes silent, or lets it go on.</summary>
        public void Hang(bool hung)
        {
            string ignored;
            Media.Run("kill", (hung ? "-STOP " : "-CONT ") + _process.Id, out ignored);
        }

        public void Kill()
        {
            if (_process == null)
                return;
            try { _process.Kill(); } catch (InvalidOperationException) { }
            _process.WaitForExit();
            _process.Dispose();
            _process = null;
        }

        public void Dispose() { Kill(); }
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
                                             .Where(m => m.ReturnType == typeof(void) && m.GetParameters().Length == 0)
                                             .Where(m => args.Length < 2 || m.Name == args[1]))
            {
                var clock = Stopwatch.StartNew();
                try
                {
                    test.Invoke(null, null);
                    ++passed;
                    Console.WriteLine("[  OK  ] {0}.{1} ({2} ms)", suite.Name, test.Name, clock.ElapsedMilliseconds);
                }
                catch (TargetInvocationException e) when (e.InnerException is SkipException)
                {
                    ++skipped;
                    Console.WriteLine("[ SKIP ] {0}.{1}: {2}", suite.Name, test.Name, e.InnerException.Message);
                }
                catch (TargetInvocationException e)
                {
                    ++failed;
                    Console.WriteLine("[ FAIL ] {0}.{1}: {2}", suite.Name, test.Name, e.InnerException);
                }
            }
            Console.WriteLine("{0}: {1} passed, {2} failed, {3} skipped", suite.Name, passed, failed, skipped);
            return failed > 0 ? 1 : passed == 0 && skipped > 0 ? 77 : 0;
        }
    }
}
