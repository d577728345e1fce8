// Recording through FFFileWrapper: the recording settings and the sync
// points as the binding hands them over, a publishing output's events, and
// the PC time conversion itself.
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

        /// <summary>The recording settings and events as the binding hands them over, one row per setting:
        /// two-second segments with a one-byte retention budget (sync points name several files, their
        /// PCTimeUTC the epoch for a file source, the oldest deleted), also publishing to HLS (its state
        /// comes as PublishingStatusArgs), and a free-space guard no volume meets (the recording stops
        /// with FileSinkError). Where files are cut is the C++ suite's to check.</summary>
        public static void SettingsAndEvents()
        {
            string clip = Media.Clip("cs_h264_8s.mp4", string.Format(PlayerTests.Lavfi, "320x240", 8) + "-c:v libx264 -g 25 -c:a aac");
            string playlist = Path.GetFullPath("cs_live.m3u8");
            foreach (bool guard in new[] { false, true })
            {
                var events = new List<EventArgs>();
                Func<Func<EventArgs, bool>, bool> seen = match => { lock (events) return events.Any(match); };
                using (var recorder = new FFFileWrapper("cs.recorder"))
                {
                    recorder.RegisterFFEventCallback(args => { lock (events) events.Add(args); });
                    recorder.SetRecordingSettings(guard ? new RecordingSettings { minFreeBytes = long.MaxValue }
                                                        : new RecordingSettings { segmentSeconds = 2.0, keepBytes = 1 });
                    PlayerTests.OpenStarted(recorder, clip, audio: true);
                    Check.True(guard || recorder.StartPublishing(playlist), "publishing to HLS starts");
                    recorder.SaveToVideoFile(Path.GetFullPath("cs_segment.mp4"));
                    var data = new FrameData();
                    for (int n; (n = recorder.ReadFrameGetSize(data)) >= 0; )
                        if (n == 0)
                            Thread.Yield();
                    recorder.StopVideoSave();
                    bool pending;
                    Check.WaitFor(() => !recorder.IsVideoSave(out pending), 20, "the recording ends");
                    if (guard)
                    {
                        Check.True(seen(e => e is FFMessageEventArgs && ((FFMessageEventArgs)e).message == FFMessageType.FileSinkError), "the guard stops the recording");
                        continue;
                    }
                    Check.WaitFor(() => seen(e => e is PublishingStatusArgs && ((PublishingStatusArgs)e).state == PublishingState.Finished), 30, "the HLS output finishes");
                    Check.True(seen(e => e is PublishingStatusArgs && ((PublishingStatusArgs)e).url == playlist && ((PublishingStatusArgs)e).state == PublishingState.Publishing), "the HLS output publishes");
                    recorder.CloseSource();
                    List<SyncPointEventArgs> points;
                    lock (events)
                        points = events.OfType<SyncPointEventArgs>().ToList();
                    var files = points.Select(p => p.fileName).Distinct().ToList();
                    Check.True(files.Count >= 3 && !files.All(File.Exists), "segments named by sync points, the oldest deleted: " + string.Join(", ", files));
                    Check.True(points.All(p => p.PCTimeUTC == Epoch && p.videoTime >= TimeSpan.Zero && p.videoTime < TimeSpan.FromSeconds(9)), "the sync points' times within their files");
                    foreach (string f in files)
                        File.Delete(f);
                }
            }
        }
    }
}
