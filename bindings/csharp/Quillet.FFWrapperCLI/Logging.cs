// Where the library's log goes, for the whole process: a log4cpp configuration file, or a handler
// that receives the library's and FFmpeg's lines.
using System;
using System.Runtime.InteropServices;

namespace Quillet.FFWrapperCLI
{
    /// <summary>How severe a log line is (syslog's numbers: smaller is more severe).</summary>
    public enum LogSeverity { Error = 3, Warning = 4, Info = 6, Debug = 7 }

    /// <summary>One log line.</summary>
    public sealed class LogLine
    {
        public LogSeverity Severity { get; internal set; }
        /// <summary>"FFmpeg" for FFmpeg's own messages, else the facade's log category.</summary>
        public string Category { get; internal set; }
        public string Text { get; internal set; }
        public DateTime TimeUtc { get; internal set; }
    }

    public static class Logging
    {
        [StructLayout(LayoutKind.Sequential)]
        private struct NativeLogLine
        {
            public int level;
            public IntPtr category, text;
            public long timeUs;
        }

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        private delegate void NativeLogCallback(IntPtr user, IntPtr line);

        [DllImport(NativeMethods.Lib, CallingConvention = CallingConvention.Cdecl)]
        private static extern int quillet_set_log_configuration(byte[] path);
        [DllImport(NativeMethods.Lib, CallingConvention = CallingConvention.Cdecl)]
        private static extern int quillet_set_log_callback(NativeLogCallback callback, IntPtr user, int level);

        // One delegate for the life of the process: the library may call it until the call that
        // removes it has returned.
        private static readonly NativeLogCallback Trampoline = OnNativeLine;
        private static readonly object HandlerLock = new object();
        private static Action<LogLine> _handler; // guarded by HandlerLock

        /// <summary>Applies a log4cpp configuration file at once; "" goes back to QUILLET_LOG_CONFIG
        /// and Config/FFLogger.conf. False when the file cannot be read or is refused.</summary>
        public static bool SetLogConfiguration(string path)
        {
            return quillet_set_log_configuration(NativeMethods.Utf8(path ?? "")) == Status.Ok;
        }

        /// <summary>Hands every log line of <paramref name="level"/> or more severe, the library's and
        /// FFmpeg's, to <paramref name="handler"/> on the thread that writes it (a library or FFmpeg
        /// thread, or the application's own inside a call). The handler must return at once and must
        /// not call the library. Null stops; once that call has returned the handler is not called.
        /// An exception the handler throws is dropped.</summary>
        public static void SetLogCallback(Action<LogLine> handler, LogSeverity level = LogSeverity.Warning)
        {
            lock (HandlerLock)
                _handler = handler;
            int status = handler == null ? quillet_set_log_callback(null, IntPtr.Zero, (int)LogSeverity.Warning)
                                         : quillet_set_log_callback(Trampoline, IntPtr.Zero, (int)level);
            if (status != Status.Ok)
                throw new ArgumentException(NativeMethods.LastError());
        }

        private static void OnNativeLine(IntPtr user, IntPtr record)
        {
            try
            {
                FFWrapper.AdoptLibraryThread();
                Action<LogLine> handler;
                lock (HandlerLock)
                    handler = _handler;
                if (handler == null || record == IntPtr.Zero)
                    return;
                var line = (NativeLogLine)Marshal.PtrToStructure(record, typeof(NativeLogLine));
                handler(new LogLine
                {
                    Severity = (LogSeverity)line.level,
                    Category = NativeMethods.FromUtf8(line.category),
                    Text = NativeMethods.FromUtf8(line.text),
                    TimeUtc = new DateTime(1970, 1, 1, 0, 0, 0, DateTimeKind.Utc).AddTicks(line.timeUs * 10),
                });
            }
            catch (Exception)
            {
                // Nothing may unwind into the thread that logged.
            }
        }
    }
}
