// The recording facade: a player that also records its source, with splits
// and sync points (SyncPointEventArgs, raised on the recording's write thread).
using System;
using System.Runtime.InteropServices;

namespace Quillet.FFWrapperCLI
{
    /// <summary>A player that records its source to container files by stream copy.</summary>
    public class FFFileWrapper : FFWrapper
    {
        public FFFileWrapper() : this("FF1") { }
        public FFFileWrapper(string log) : base(log, Kind.Recorder) { }
        internal FFFileWrapper(string log, Kind kind) : base(log, kind) { }

        /// <summary>Starts recording to <paramref name="fileName"/> from the next key picture (format
        /// from the extension). Keep reading pictures while recording.</summary>
        public void SaveToVideoFile(string fileName)
        {
            byte[] name = NativeMethods.Utf8(fileName);
            Call(h => NativeMethods.quillet_recorder_save(h, name));
        }

        /// <summary>Ends the current file at the next key picture and continues in <paramref name="newFile"/>.</summary>
        public void SplitFile(string newFile)
        {
            byte[] name = NativeMethods.Utf8(newFile);
            Call(h => NativeMethods.quillet_recorder_split(h, name));
        }

        public void StopVideoSave() { Call(NativeMethods.quillet_recorder_stop); }

        /// <summary>Segments and retention for the recordings started after this call.</summary>
        public void SetRecordingSettings(RecordingSettings settings)
        {
            var s = new NativeRecordingSettings();
            NativeMethods.quillet_recording_settings_init(ref s);
            s.segmentSeconds = settings.segmentSeconds;
            s.keepBytes = settings.keepBytes;
            s.keepSeconds = settings.keepSeconds;
            s.minFreeBytes = settings.minFreeBytes;
            GCHandle pattern = GCHandle.Alloc(NativeMethods.Utf8(settings.namePattern ?? ""), GCHandleType.Pinned);
            try
            {
                s.namePattern = pattern.AddrOfPinnedObject();
                Call(h => NativeMethods.quillet_recorder_set_settings(h, ref s));
            }
            finally
            {
                pattern.Free();
            }
        }

        /// <summary>True while a file is written; <paramref name="pending"/> true while a file name waits
        /// for its first key picture.</summary>
        public bool IsVideoSave(out bool pending)
        {
            int saving = 0, p = 0;
            bool ok = Call(h => NativeMethods.quillet_recorder_is_saving(h, out saving, out p)) == Status.Ok;
            pending = ok && p != 0;
            return ok && saving != 0;
        }
    }
}
