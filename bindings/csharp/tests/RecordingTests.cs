// Recording through FFFileWrapper: the recording settings and the sync
// points as the binding hands them over, a publishing output's events, and
// the PC time conversion itself (where files are cut is the C++ and C
// suites' to check).
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

        /// <summary>The recording settings as the binding hands them over, one row each: two-second segments
        /// (sync points name several files, each a file on disk, their PCTimeUTC the epoch in UTC for a
        /// file source), a retention budget of one byte (finished segments deleted), and a free-space guard
        /// no volume meets (the recording stops with FileSinkError). Also a publishing output's status
        /// events, and a URL no protocol takes.</summary>
        public static void SettingsSyncPointsAndPublishing()
        {
            string clip = Media.Clip("cs_h264_8s.mp4", string.Format(PlayerTests.Lavfi, "320x240", 8) + "-c:v libx264 -g 25 -c:a aac");
            // segment seconds, keep bytes, min free bytes
            var rows = new[] { Tuple.Create(2.0, 0L, 0L), Tuple.Create(2.0, 1L, 0L), Tuple.Create(0.0, 0L, long.MaxValue) };
            foreach (var row in rows)
            {
                string name = string.Format("segments {0}, keep {1}, guard {2}", row.Item1, row.Item2, row.Item3);
                string file = Path.GetFullPath("cs_segment.mp4");
                var points = new List<SyncPointEventArgs>();
                var publishing = new List<PublishingStatusArgs>();
                int sinkErrors = 0;
                using (var recorder = new FFFileWrapper("cs.recorder"))
                {
                    recorder.RegisterFFEventCallback(args =>
                    {
                        lock (points)
                        {
                            if (args is SyncPointEventArgs)
                                points.Add((SyncPointEventArgs)args);
                            if (args is PublishingStatusArgs)
                                publishing.Add((PublishingStatusArgs)args);
                            var m = args as FFMessageEventArgs;
                            if (m != null && m.message == FFMessageType.FileSinkError)
                                ++sinkErrors;
                        }
                    });
                    recorder.SetRecordingSettings(new RecordingSettings { segmentSeconds = row.Item1, keepBytes = row.Item2, minFreeBytes = row.Item3 });
                    PlayerTests.OpenStarted(recorder, clip, audio: true);
                    string playlist = Path.GetFullPath("cs_live.m3u8");
                    bool publish = row.Item2 == 1;
                    if (publish)
                    {
                        Check.True(recorder.StartPublishing(playlist), "publishing to HLS starts");
                        Check.True(!recorder.StartPublishing("bogus://nowhere"), "a URL no protocol takes");
                    }
                    recorder.SaveToVideoFile(file);
                    var data = new FrameData();
                    for (int n; (n = recorder.ReadFrameGetSize(data)) >= 0; )
                        if (n == 0)
                            Thread.Yield();
                    recorder.StopVideoSave();
                    bool pending;
                    Check.WaitFor(() => !recorder.IsVideoSave(out pending), 20, name + ": the recording ends");
                    if (publish)
                        Check.WaitFor(() => { lock (points) return publishing.Any(p => p.url == playlist && p.state == PublishingState.Finished); }, 30, "the HLS output finishes");
                    recorder.CloseSource();
                    lock (points)
                    {
                        if (publish)
                        {
                            Check.True(publishing.Any(p => p.url == playlist && p.state == PublishingState.Publishing), "the HLS output publishes");
                            Check.True(publishing.Any(p => p.url == "bogus://nowhere" && p.state == PublishingState.Failed && p.message != ""), "the refused URL fails with a reason");
                        }
                        if (row.Item3 != 0)
                        {
                            Check.True(sinkErrors > 0, name + ": the guard stops the recording");
                            continue;
                        }
                        var files = points.Select(p => p.fileName).Distinct().ToList();
                        Check.True(files.Count >= 3, name + ": segments named by sync points: " + string.Join(", ", files));
                        Check.Equal(row.Item2 == 0, files.All(File.Exists), name + ": every segment kept");
                        foreach (SyncPointEventArgs p in points)
                        {
                            Check.Equal(Epoch, p.PCTimeUTC, "PCTimeUTC of a file's sync point");
                            Check.True(p.videoTime >= TimeSpan.Zero && p.videoTime < TimeSpan.FromSeconds(9), "videoTime within the file: " + p.videoTime);
                        }
                        foreach (string f in files)
                            File.Delete(f);
                    }
                }
            }
        }
    }
}
