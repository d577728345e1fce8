// Recording through FFFileWrapper: a split gives two files, each announced
// by sync points whose PCTimeUTC is a UTC DateTime in whole microseconds near
// the PC's clock; and the PC time conversion itself.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Threading;
using Quillet.FFWrapperCLI;

namespace Quillet.Tests
{
    public static class RecordingTests
    {
        private static readonly DateTime Epoch = new DateTime(1970, 1, 1, 0, 0, 0, DateTimeKind.Utc);

        public static void PCTimeConversion()
        {
            // native ticks (100 ns since 1970), expected DateTime
            var table = new[]
            {
                Tuple.Create(0L, Epoch),
                Tuple.Create(19L, Epoch.AddTicks(10)), // truncated to whole microseconds
                Tuple.Create(17650656000000000L + 1234567L, new DateTime(2025, 12, 7, 0, 0, 0, DateTimeKind.Utc).AddTicks(1234560)),
            };
            foreach (var row in table)
            {
                DateTime t = SyncPointEventArgs.PCTimeFromTicks(row.Item1);
                Check.Equal(row.Item2, t, "PC time of " + row.Item1);
                Check.Equal(DateTimeKind.Utc, t.Kind, "kind of " + row.Item1);
            }
            var fresh = new SyncPointEventArgs();
            Check.Equal("noFile", fresh.fileName, "a new sync point's file");
            Check.Equal(false, fresh.isGood, "a new sync point's isGood");
        }

        public static void SplitRecordingWithSyncPoints()
        {
            string first = Path.GetFullPath("cs_split_a.mp4"), second = Path.GetFullPath("cs_split_b.mp4");
            File.Delete(first);
            File.Delete(second);
            var points = new List<SyncPointEventArgs>();
            var sinkErrors = 0;
            using (var recorder = new FFFileWrapper("cs.recorder"))
            {
                recorder.RegisterFFEventCallback(args =>
                {
                    var p = args as SyncPointEventArgs;
                    if (p != null)
                        lock (points)
                            points.Add(p);
                    var m = args as FFMessageEventArgs;
                    if (m != null && m.message == FFMessageType.FileSinkError)
                        ++sinkErrors;
                });
                // Long enough that the source, a queue ahead of the reader, is still before the split's key picture.
                string clip = Media.Clip("cs_h264_8s.mp4", string.Format(PlayerTests.Lavfi, "320x240", 8) + "-c:v libx264 -g 25 -c:a aac");
                PlayerTests.OpenStarted(recorder, clip, audio: true);
                recorder.SaveToVideoFile(first);
                bool pending;
                var data = new FrameData();
                bool split = false;
                int n;
                while ((n = recorder.ReadFrameGetSize(data)) >= 0)
                {
                    // Split once the first file has begun: its first sync point is the proof.
                    bool begun;
                    lock (points)
                        begun = points.Count > 0;
                    if (!split && begun)
                    {
                        recorder.SplitFile(second);
                        split = true;
                    }
                    if (n == 0)
                        Thread.Yield();
                }
                Check.True(split, "split during the recording");
                Check.WaitFor(() => { lock (points) return points.Any(p => p.fileName == second); }, 20, "a sync point in the second file");
                recorder.StopVideoSave();
                Check.WaitFor(() => !recorder.IsVideoSave(out pending), 20, "the recording ends");
                Check.Equal(0, sinkErrors, "file sink errors");
                lock (points)
                {
                    foreach (string file in new[] { first, second })
                    {
                        var mine = points.Where(p => p.fileName == file).ToList();
                        Check.True(mine.Count > 0, "sync points for " + file + " among those for " + string.Join(", ", points.Select(p => p.fileName).Distinct()));
                        Check.True(new FileInfo(file).Length > 10000, file + " holds the recording");
                        foreach (SyncPointEventArgs p in mine)
                        {
                            // A file's packets carry no capture time: the native 0, the epoch in UTC.
                            Check.Equal(Epoch, p.PCTimeUTC, "PCTimeUTC of a file's sync point");
                            Check.Equal(DateTimeKind.Utc, p.PCTimeUTC.Kind, "PCTimeUTC kind");
                            Check.True(p.videoTime >= TimeSpan.Zero && p.videoTime < TimeSpan.FromSeconds(9), "videoTime within the file: " + p.videoTime);
                        }
                    }
                }
            }
        }
    }
}
