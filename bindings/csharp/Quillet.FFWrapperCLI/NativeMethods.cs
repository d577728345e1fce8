// The C interface (quillet/quillet.h) as P/Invoke declarations and the records
// it exchanges. Everything here is internal: applications see the facades.
// Strings go in as NUL-terminated UTF-8 byte arrays and come back as UTF-8, so
// the marshalling is the same on every runtime and platform.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Quillet.FFWrapperCLI
{
    internal static class Status
    {
        public const int Ok = 0, Again = 1, End = 2, Interrupted = 3;
        public const int InvalidHandle = -1, BufferTooSmall = -6, Decode = -8, NotSupported = -9;
    }

    internal static class EventType
    {
        public const int Message = 1, SyncPoint = 2, ConnectionStatus = 3, PublishingStatus = 4, MissedPictures = 5;
    }

    [StructLayout(LayoutKind.Sequential)]
    internal struct NativePicture
    {
        public IntPtr data;
        public int width, height, stride;
        public double time;
        public int first, size, status, pixelFormat;
    }

    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeEvent
    {
        public int type, code;
        public IntPtr text, url;
        public double videoTime;
        public long pcTime;
        public int isGood;
        public ulong missed, missedTotal, dropped;
    }

    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeSourceSettings
    {
        public UIntPtr size;
        public int streamUsingTcp, useTimeFilter, useOnlyVideo, requireRtcp, createTimingLog;
        public IntPtr timingLogFolder, username, password;
        public double audioLatencyMs, videoLatencyMs, syncShiftMs, rtcpTimeoutMs, packetTimeoutMs;
        public int decodingThreads, liveReading;
    }

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    internal delegate void NativeEventCallback(IntPtr user, IntPtr evt);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    internal delegate int NativeWantsAudio(IntPtr user);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    internal delegate int NativeGetBuffers(IntPtr user, IntPtr buffers, int capacity);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    internal delegate void NativeSubmitBuffers(IntPtr user, IntPtr filled, int count);

    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeRecordingSettings
    {
        public UIntPtr size;
        public double segmentSeconds;
        public IntPtr namePattern;
        public long keepBytes;
        public double keepSeconds;
        public long minFreeBytes;
    }

    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeAudioSink
    {
        public UIntPtr size;
        public IntPtr user;
        public IntPtr wantsAudio, getBuffers, submitBuffers;
    }

    internal static class NativeMethods
    {
        // Mapped to libquillet.so.<soversion> by the .dll.config beside the
        // assembly (Mono) or by NativeLoader's resolver (.NET).
        internal const string Lib = "quillet";

        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern uint quillet_version();
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr quillet_error_message();
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr quillet_build_description();

        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr quillet_player_create(byte[] log);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr quillet_recorder_create(byte[] log);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr quillet_live_server_create(byte[] log);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr quillet_play_server_create(byte[] log);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr quillet_remote_create(byte[] log);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void quillet_player_destroy(IntPtr player);

        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_open(PlayerHandle p, byte[] url);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_get_open_failure(PlayerHandle p, out IntPtr reason);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_set_network_timeout(PlayerHandle p, double seconds);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_set_source_settings(PlayerHandle p, ref NativeSourceSettings s);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_set_pixel_format(PlayerHandle p, int format);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_start(PlayerHandle p);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_stop(PlayerHandle p);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_close(PlayerHandle p);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_pause(PlayerHandle p);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_resume(PlayerHandle p);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_flush(PlayerHandle p);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_is_paused(PlayerHandle p, out int paused);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_is_ready(PlayerHandle p, out int ready);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_read_picture_into(PlayerHandle p, IntPtr dst, UIntPtr dstSize, int dstStride, ref NativePicture info, int timeoutMs);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_get_dimensions(PlayerHandle p, out int width, out int height);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_get_render_dimensions(PlayerHandle p, out int width, out int height);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_get_duration(PlayerHandle p, out double seconds);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_get_capture_time(PlayerHandle p, out long utcMicroseconds, out int trusted);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_seek(PlayerHandle p, double seconds);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_set_optimize_seek(PlayerHandle p, int enable);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_get_optimize_seek(PlayerHandle p, out int enabled);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_is_oob(PlayerHandle p, double seconds, out int oob, out int pending);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_get_seek_time(PlayerHandle p, out double seconds);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_set_decoding_threads(PlayerHandle p, int threads);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_get_decoding_threads(PlayerHandle p, out int threads);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_set_picture_size(PlayerHandle p, int width, int height);

        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_enable_audio(PlayerHandle p, int enable);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_has_audio(PlayerHandle p, out int hasAudio);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_get_audio_format(PlayerHandle p, out int rate, out int bits, out int channels);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_set_audio_sink(PlayerHandle p, ref NativeAudioSink sink);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_set_audio_sink(PlayerHandle p, IntPtr none);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_read_audio(PlayerHandle p, out double mediaTime);

        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_interrupt(PlayerHandle p);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_set_event_queue_size(PlayerHandle p, UIntPtr capacity);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_set_event_callback(PlayerHandle p, NativeEventCallback callback, IntPtr user);

        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_recorder_save(PlayerHandle p, byte[] fileName);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_recording_settings_init(ref NativeRecordingSettings s);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_recorder_set_settings(PlayerHandle p, ref NativeRecordingSettings s);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_set_live_reading(PlayerHandle p, int policy);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_get_live_reading(PlayerHandle p, out int policy);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_missed_pictures(PlayerHandle p, out ulong missed);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_start_publishing(PlayerHandle p, byte[] url);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_player_stop_publishing(PlayerHandle p, byte[] url);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_recorder_split(PlayerHandle p, byte[] newFile);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_recorder_stop(PlayerHandle p);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_recorder_is_saving(PlayerHandle p, out int saving, out int pending);

        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_server_set_source(PlayerHandle p, byte[] url);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_server_set_source_settings(PlayerHandle p, ref NativeSourceSettings s);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_server_add_client(PlayerHandle p, out ClientHandle client);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_server_set_batch_records(PlayerHandle p, uint records);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_server_get_batch_records(PlayerHandle p, out uint records);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void quillet_client_destroy(IntPtr client);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_client_next_batch(ClientHandle c, out IntPtr batch);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_client_wait_batch(ClientHandle c, out IntPtr batch, int timeoutMs);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr quillet_batch_data(IntPtr batch);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern UIntPtr quillet_batch_size(IntPtr batch);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void quillet_batch_free(IntPtr batch);

        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_remote_write(PlayerHandle p, IntPtr data, UIntPtr size);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_remote_wait_for_seek(PlayerHandle p, double seconds, out int newTarget);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_remote_restart_batch(PlayerHandle p);

        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int quillet_source_settings_init(ref NativeSourceSettings s);

        /// <summary>NUL-terminated UTF-8 for a string going in (null reads as "").</summary>
        internal static byte[] Utf8(string s)
        {
            s = s ?? "";
            var bytes = new byte[Encoding.UTF8.GetByteCount(s) + 1];
            Encoding.UTF8.GetBytes(s, 0, s.Length, bytes, 0);
            return bytes;
        }

        /// <summary>A NUL-terminated UTF-8 string coming back ("" for NULL).</summary>
        internal static string FromUtf8(IntPtr p)
        {
            if (p == IntPtr.Zero)
                return "";
            int n = 0;
            while (Marshal.ReadByte(p, n) != 0)
                ++n;
            var bytes = new byte[n];
            Marshal.Copy(p, bytes, 0, n);
            return Encoding.UTF8.GetString(bytes);
        }

        internal static string LastError() { return FromUtf8(quillet_error_message()); }

        // Large buffers go to the library pinned and by address: Mono marshals a byte[] parameter
        // by copying it (both ways for [In, Out]), which for a picture costs more than the picture.
        internal delegate int WithAddress(IntPtr address);

        internal static int Pinned(byte[] buffer, WithAddress call)
        {
            GCHandle pin = GCHandle.Alloc(buffer, GCHandleType.Pinned);
            try
            {
                return call(pin.AddrOfPinnedObject());
            }
            finally
            {
                pin.Free();
            }
        }
    }
}
