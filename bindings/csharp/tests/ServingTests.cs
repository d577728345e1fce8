// Serving a file to a remote player through the managed client queue:
// GetNextPacket's arrays fed to WritePacket give the C++ facade's pictures;
// and the client operations at their edges, waiting fetches among them.
using System;
using System.Collections.Generic;
using System.Threading;
using Quillet.FFWrapperCLI;

namespace Quillet.Tests
{
    public static class ServingTests
    {
        public static void RemotePlayerShowsTheServedPictures()
        {
            string clip = PlayerTests.H264Clip();
            using (var server = new FFPlayServerWrapper("cs.server"))
            using (var viewer = new FFRemoteWrapper("cs.viewer"))
            {
                server.SetSource(clip);
                server.SetNumberOutgoingPackets(20);
                Check.Equal(20u, server.GetNumberOutgoingPackets(), "records per packet");
                FFOutgoingWrapper client = server.AddClient();
                Check.True(client != null && server.StartEngine(), "a client, and the server starts");
                viewer.EnableAudio(false);
                viewer.DecodeVideo(PixelFormat.BGR24);
                byte[] packet = null, last = null;
                int packets = 0;
                List<Picture> pictures = PlayerTests.PlayAll(viewer, new FrameData(), null, () =>
                {
                    if (packet == null && (packet = client.GetNextPacket()) != null)
                    {
                        Check.True(!ReferenceEquals(packet, last), "each packet a fresh array");
                        last = packet;
                        ++packets;
                    }
                    if (packet != null && viewer.WritePacket(packet))
                        packet = null;
                });
                Check.True(packets > 1, "several packets");
                PlayerTests.Same(Media.Reference(clip), pictures, "through the remote player");
                server.RemoveClient(client);
                Check.True(client.GetNextPacket() == null, "a removed client gives no packet");
                server.RemoveClient(client);
                server.RemoveClient(null);
            }
        }

        public static void ClientEdges()
        {
            using (var server = new FFPlayServerWrapper())
                Check.True(server.AddClient() == null, "no client without a source");
            using (var viewer = new FFRemoteWrapper())
            {
                Check.Equal(false, viewer.WritePacket(new byte[0]), "an empty packet");
                Check.Equal(false, viewer.WritePacket(null), "no packet");
                Check.Equal(true, viewer.WaitForSeek(2.0), "a new seek target");
                Check.Equal(false, viewer.WaitForSeek(2.005), "the same target again");
                viewer.WaitForSeek();
            }
            // A waiting fetch sleeps until the source queues a packet; removing its client from
            // another thread ends a wait without limit; a client outlives its server.
            FFOutgoingWrapper kept;
            using (var server = new FFPlayServerWrapper())
            {
                server.SetSource(PlayerTests.H264Clip());
                FFOutgoingWrapper waiting = server.AddClient(), removed = server.AddClient();
                kept = server.AddClient();
                foreach (FFOutgoingWrapper client in new[] { waiting, removed, kept })
                    while (client.GetNextPacket() != null) { } // the stream's description
                Check.True(waiting.WaitNextPacket(0) == null, "nothing queued before the start");
                byte[] woken = null, afterRemoval = new byte[1];
                var stranded = new Thread(() => afterRemoval = removed.WaitNextPacket(-1));
                stranded.Start();
                Thread.Sleep(200); // most likely asleep in the wait by now; the checks hold either way
                server.RemoveClient(removed);
                Check.True(stranded.Join(5000), "a removal ends a wait without limit");
                Check.True(afterRemoval == null, "a removed client gives no packet");
                var fetch = new Thread(() => woken = waiting.WaitNextPacket(-1));
                fetch.Start();
                Check.True(server.StartEngine(), "the server starts");
                Check.True(fetch.Join(10000), "a waiting fetch wakes when the source queues a packet");
                Check.True(woken != null && woken.Length > 0, "the packet it waited for");
            }
            Check.True(kept.GetNextPacket() == null, "a client of a disposed server");
            Check.True(kept.WaitNextPacket(-1) == null, "no wait on a client of a disposed server");
        }
    }
}
