// What applications see besides the facades: the enumerations, the picture
// record, the camera settings, the event arguments, the handler type, the
// managed audio sink and the monitor guard.
using System;
using System.Collections.Generic;
using System.Threading;

namespace Quillet.FFWrapperCLI
{
    /// <summary>What an <see cref="FFMessageEventArgs"/> reports; the library's message numbers.</summary>
    public enum FFMessageType
    {
        /// <summary>Nothing went wrong.</summary>
        NoError = 0,
        /// <summary>Writing the recorded file failed; recording stops.</summary>
        FileSinkError = 1,
        /// <summary>Reading a file or URL failed; the source is closed.</summary>
        SourceError = 2,
        /// <summary>The camera connection failed; the source is closed.</summary>
        RTSPSourceError = 3,
        /// <summary>The last picture of the source has been handed out.</summary>
        EndOfStream = 4,
        /// <summary>A sync point is ready (delivered as <see cref="SyncPointEventArgs"/>).</summary>
        SyncPointReady = 5,
        /// <summary>One stream (video or sound) cannot be decoded and is given up; the other plays on.</summary>
        StreamRefused = 6,
        /// <summary>The recording's disk fell behind a live source: what it could not take was given up;
        /// recording goes on from the next key picture.</summary>
        RecordingFellBehind = 7,
    }

    /// <summary>State of a live camera connection; the library's status numbers.</summary>
    public enum ConnectionStatus
    {
        /// <summary>Streaming (again).</summary>
        Connected = 0,
        /// <summary>Not connected.</summary>
        Disconnected = 1,
        /// <summary>The connection broke; the library reconnects on its own.</summary>
        ConnectionLost = 2,
    }

    /// <summary>How a player reads a live camera when the application reads slower than the camera
    /// sends (<see cref="FFWrapper.SetLiveReading"/>); the library's numbers. Files are always read
    /// picture by picture.</summary>
    public enum LiveReading
    {
        /// <summary>Always the newest picture (the default); the pictures given up are counted as missed.</summary>
        Newest = 0,
        /// <summary>Every picture in order, up to about 10 s or 64 MB behind the camera.</summary>
        Every = 1,
    }

    /// <summary>The life of one publishing output; the library's numbers.</summary>
    public enum PublishingState
    {
        Connecting = 0,
        Publishing = 1,
        /// <summary>Connection failed or lost; the next attempt follows a back-off.</summary>
        Retrying = 2,
        /// <summary>The source ended and the output was closed properly.</summary>
        Finished = 3,
        /// <summary>Refused for good (URL or codecs unfit for the protocol).</summary>
        Failed = 4,
        /// <summary>Stopped by the application.</summary>
        Stopped = 5,
    }

    /// <summary>Segments and retention of a recording (<see cref="FFFileWrapper.SetRecordingSettings"/>).</summary>
    public class RecordingSettings
    {
        /// <summary>Media seconds after which the next file starts, at the next key picture; 0: one file.</summary>
        public double segmentSeconds = 0.0;
        /// <summary>Names of segment files (strftime fields, {n} the number); "": the first name with "_n".</summary>
        public string namePattern = "";
        /// <summary>Finished segments are deleted, oldest first, while together they exceed this (0: no limit).</summary>
        public long keepBytes = 0;
        /// <summary>Finished segments older than this many seconds are deleted (0: kept).</summary>
        public double keepSeconds = 0.0;
        /// <summary>Recording stops with FileSinkError when less would remain on the volume: -1 the larger
        /// of 256 MB and 1% of it, 0 no guard.</summary>
        public long minFreeBytes = -1;
    }

    /// <summary>Pixel formats for <see cref="FFWrapper.DecodeVideo"/> (FFmpeg's numbers).</summary>
    public static class PixelFormat
    {
        /// <summary>Packed 24-bit, bytes red, green, blue.</summary>
        public const int RGB24 = 2;
        /// <summary>Packed 24-bit, bytes blue, green, red.</summary>
        public const int BGR24 = 3;
    }

    /// <summary>One picture, filled by <see cref="FFWrapper.ReadFrameGetSize"/>. A new instance holds
    /// no picture. The reading thread owns it.</summary>
    public class FrameData
    {
        /// <summary>Packed pixel rows; the same array while the size and dimensions stay the same.</summary>
        public byte[] frame;
        /// <summary>The picture's media time in seconds.</summary>
        public double frameTime;
        /// <summary>Width in pixels.</summary>
        public int width;
        /// <summary>Height in pixels.</summary>
        public int height;
        /// <summary>True for the first picture after an open or a seek.</summary>
        public bool firstFrame;
        /// <summary>Byte size of the picture in <see cref="frame"/>.</summary>
        public int size;
        /// <summary><see cref="status"/> while a seek is pending.</summary>
        public const int SeekPending = 6;
        /// <summary>The engine's picture status: 0, or <see cref="SeekPending"/> while a seek is pending; set on every read.</summary>
        public int status;
        /// <summary>When a camera captured the picture (UTC): from the camera's RTCP sender reports once
        /// one has come (then <see cref="CaptureTimeTrusted"/>), before that the time it arrived; never
        /// earlier than the picture before it. The UNIX epoch for files and streams without it.</summary>
        public DateTime CaptureTimeUtc = UnixEpoch;
        /// <summary>True while <see cref="CaptureTimeUtc"/> follows the camera's own clock.</summary>
        public bool CaptureTimeTrusted;

        internal static readonly DateTime UnixEpoch = new DateTime(1970, 1, 1, 0, 0, 0, DateTimeKind.Utc);
    }

    /// <summary>Settings of a live camera connection (rtsp:// sources).</summary>
    public class SourceSettings
    {
        public bool streamUsingTCP = true;
        public bool useTimeFilter = true;
        public bool useOnlyVideo = false;
        public bool requireRTCP = true;
        public bool createTimingLog = false;
        public string timingLogFolder = "";
        public string username = "";
        public string password = "";
        public double audioLatencyMs = 0.0;
        public double videoLatencyMs = 0.0;
        public double syncShiftMs = 0.0;
        public double rtcpTimeoutMs = 30000.0;
        public double packetTimeoutMs = 10000.0;
    }

    /// <summary>An error, the end of the stream or another notice.</summary>
    public class FFMessageEventArgs : EventArgs
    {
        public FFMessageType message = FFMessageType.NoError;
        public FFMessageEventArgs() { }
        public FFMessageEventArgs(FFMessageType m) { message = m; }
    }

    /// <summary>A sync point of a recording: a position in a recorded file paired with the PC's UTC clock.</summary>
    public class SyncPointEventArgs : EventArgs
    {
        /// <summary>Position in the recorded file, from its start.</summary>
        public TimeSpan videoTime;
        /// <summary>The PC's UTC clock at that position, whole microseconds, kind UTC.</summary>
        public DateTime PCTimeUTC = new DateTime(0, DateTimeKind.Utc);
        /// <summary>The recorded file the point belongs to.</summary>
        public string fileName = "noFile";
        /// <summary>Whether the wall-clock time is trustworthy (a camera's RTCP sender reports).</summary>
        public bool isGood;

        // 0001-01-01 to 1970-01-01 in microseconds.
        private const long EpochMicroseconds = 62135596800000000L;

        /// <summary>The library's PC time (100-ns ticks since 1970-01-01 UTC) as a UTC DateTime,
        /// truncated to whole microseconds.</summary>
        public static DateTime PCTimeFromTicks(long ticks)
        {
            return new DateTime((ticks / 10 + EpochMicroseconds) * 10, DateTimeKind.Utc);
        }
    }

    /// <summary>The state of a camera connection changed.</summary>
    public class SourceConnectionStatusArgs : EventArgs
    {
        public string message = "";
        public ConnectionStatus status = ConnectionStatus.Disconnected;
    }

    /// <summary>A publishing output changed state, raised on the output's own thread; a lost connection
    /// arrives as Retrying with the reason in <see cref="message"/>.</summary>
    public class PublishingStatusArgs : EventArgs
    {
        public string url = "";
        public PublishingState state = PublishingState.Connecting;
        public string message = "";
    }

    /// <summary>The player of a live camera missed pictures (see <see cref="LiveReading"/>); raised inside
    /// ReadFrameGetSize on the reading thread, at most once a second.</summary>
    public class MissedPicturesEventArgs : EventArgs
    {
        /// <summary>Pictures missed since the previous event.</summary>
        public ulong missed;
        /// <summary>Pictures missed since the source was opened.</summary>
        public ulong total;
    }

    /// <summary>The application's event handler; receives one of the three argument classes.</summary>
    public delegate void ManagedEventDelegate(EventArgs args);

    /// <summary>The host's audio sink, the managed form of the library's AudioInterface. The three
    /// operations are called on the thread inside <see cref="FFWrapper.ReadAudioFromInterface"/>, one at
    /// a time, without library locks held.</summary>
    public interface IAudioInterface
    {
        /// <summary>True when the host can take more sound now; false skips this read.</summary>
        bool WantsAudio();
        /// <summary>Buffers to fill with interleaved signed 16-bit PCM, each as long as the bytes wanted.</summary>
        IList<byte[]> GetBuffers();
        /// <summary>The buffers filled, in order, each with the count of bytes written (possibly 0).</summary>
        void SubmitBuffers(IList<ArraySegment<byte>> filled);
    }

    /// <summary>Scope guard on a monitor: enters it when made, leaves it when disposed.</summary>
    public sealed class @lock : IDisposable
    {
        private object _monitor;
        public @lock(object monitor)
        {
            Monitor.Enter(monitor);
            _monitor = monitor;
        }
        public void Dispose()
        {
            object m = Interlocked.Exchange(ref _monitor, null);
            if (m != null)
                Monitor.Exit(m);
        }
    }
}
