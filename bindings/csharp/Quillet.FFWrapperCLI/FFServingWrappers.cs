// The serving facades (a live server that also records, a playback server),
// the remote player they feed, and the client queues the application drains.
//
// Locks: FFSerializeWrapper's monitor (_mutex) guards which server it serves
// (cleared by Cleanup); the monitor of _outs guards the list of clients handed
// out; each FFOutgoingWrapper's own monitor guards its client handle, cleared
// before the handle is freed, so a concurrent GetNextPacket either finishes
// with the client or sees none. WaitNextPacket waits without that monitor, in
// slices, so a removal on another thread ends it within a slice.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Runtime.InteropServices;

namespace Quillet.FFWrapperCLI
{
    /// <summary>What a serving facade offers its clients.</summary>
    public interface IFFSerializeWrapper
    {
        /// <summary>A new client (the first opens the source), or null when the source cannot be served.</summary>
        FFOutgoingWrapper AddClient();
        /// <summary>Removes a client; null or an already removed client does nothing.</summary>
        void RemoveClient(FFOutgoingWrapper o);
        /// <summary>The most records one packet (batch) holds.</summary>
        void SetNumberOutgoingPackets(uint outgoings);
        uint GetNumberOutgoingPackets();
    }

    /// <summary>One served client: the application pulls its serialized packets.</summary>
    public class FFOutgoingWrapper
    {
        private ClientHandle _out;
        private readonly object _mutex = new object();

        internal FFOutgoingWrapper(ClientHandle client) { _out = client; }

        /// <summary>The next serialized packet as a new array, or null when none is queued (or the client
        /// was removed, or its server disposed). Never waits.</summary>
        public byte[] GetNextPacket()
        {
            IntPtr batch = IntPtr.Zero;
            lock (_mutex)
            {
                if (_out == null || NativeMethods.quillet_client_next_batch(_out, out batch) != Status.Ok)
                    return null;
            }
            return TakeBatch(batch);
        }

        /// <summary>As <see cref="GetNextPacket"/>, but asleep until the source queues a packet, for up to
        /// <paramref name="timeoutMs"/> (negative: without limit). Null when none came in time, or the
        /// client is removed (from another thread, the wait then ends within a slice of
        /// <see cref="WaitSliceMs"/>), or its server disposed. One thread per client.</summary>
        public byte[] WaitNextPacket(int timeoutMs)
        {
            var clock = Stopwatch.StartNew();
            for (bool first = true; ; first = false)
            {
                long left = timeoutMs < 0 ? WaitSliceMs : timeoutMs - clock.ElapsedMilliseconds;
                if (left <= 0 && !first)
                    return null;
                int slice = (int)Math.Max(0, Math.Min(left, WaitSliceMs));
                ClientHandle client;
                lock (_mutex)
                    client = _out;
                if (client == null)
                    return null;
                // Not under _mutex: a removal takes the handle meanwhile, and the runtime frees it
                // once this slice has returned.
                IntPtr batch;
                int status;
                try
                {
                    status = NativeMethods.quillet_client_wait_batch(client, out batch, slice);
                }
                catch (ObjectDisposedException)
                {
                    return null;
                }
                if (status == Status.Ok)
                    return TakeBatch(batch);
                if (status != Status.Again || slice == 0)
                    return null;
            }
        }

        /// <summary>The longest a waiting fetch sleeps before it looks whether its client was removed.</summary>
        public const int WaitSliceMs = 50;

        // Copies a library batch into a new array and frees the batch.
        private static byte[] TakeBatch(IntPtr batch)
        {
            try
            {
                long size = (long)NativeMethods.quillet_batch_size(batch).ToUInt64();
                if (size <= 0)
                    return null;
                var bytes = new byte[size];
                Marshal.Copy(NativeMethods.quillet_batch_data(batch), bytes, 0, bytes.Length);
                return bytes;
            }
            finally
            {
                NativeMethods.quillet_batch_free(batch);
            }
        }

        /// <summary>Forgets the client handle and hands it to the caller, who frees it.</summary>
        internal ClientHandle TakeOut()
        {
            lock (_mutex)
            {
                ClientHandle client = _out;
                _out = null;
                return client;
            }
        }
    }

    /// <summary>The clients of one serving facade.</summary>
    public class FFSerializeWrapper : IFFSerializeWrapper
    {
        private FFWrapper _serializeEngine;
        private readonly object _mutex = new object();
        private readonly List<FFOutgoingWrapper> _outs = new List<FFOutgoingWrapper>();

        internal FFSerializeWrapper(FFWrapper server) { _serializeEngine = server; }

        public FFOutgoingWrapper AddClient()
        {
            FFOutgoingWrapper wrapper;
            lock (_mutex)
            {
                if (_serializeEngine == null)
                    return null;
                ClientHandle client = null;
                int status = _serializeEngine.Call(h => NativeMethods.quillet_server_add_client(h, out client));
                if (status != Status.Ok || client == null || client.IsInvalid)
                {
                    if (client != null)
                        client.Dispose();
                    return null;
                }
                wrapper = new FFOutgoingWrapper(client);
            }
            lock (_outs)
                _outs.Add(wrapper);
            return wrapper;
        }

        public void RemoveClient(FFOutgoingWrapper o)
        {
            ClientHandle client = o != null ? o.TakeOut() : null;
            if (client == null)
                return;
            lock (_mutex)
                client.Dispose(); // leaves the server, if it still lives, and frees the queue
            lock (_outs)
                _outs.Remove(o);
        }

        public void SetNumberOutgoingPackets(uint outgoings)
        {
            lock (_mutex)
                if (_serializeEngine != null)
                    _serializeEngine.Call(h => NativeMethods.quillet_server_set_batch_records(h, outgoings));
        }

        public uint GetNumberOutgoingPackets()
        {
            lock (_mutex)
            {
                uint records = 0;
                if (_serializeEngine == null ||
                    _serializeEngine.Call(h => NativeMethods.quillet_server_get_batch_records(h, out records)) != Status.Ok)
                    return 0;
                return records;
            }
        }

        /// <summary>Forgets the server and every client handed out; their GetNextPacket gives null from now on.</summary>
        public void Cleanup()
        {
            lock (_mutex)
                _serializeEngine = null;
            lock (_outs)
            {
                foreach (FFOutgoingWrapper o in _outs)
                {
                    ClientHandle client = o.TakeOut();
                    if (client != null)
                        client.Dispose();
                }
                _outs.Clear();
            }
        }
    }

    /// <summary>Serves a live source (a camera) to clients, and plays and records it like a recorder.</summary>
    public class FFFileServerWrapper : FFFileWrapper, IFFSerializeWrapper
    {
        private readonly FFSerializeWrapper _serialize;

        public FFFileServerWrapper() : this("FF1") { }
        public FFFileServerWrapper(string log) : base(log, Kind.LiveServer)
        {
            _serialize = new FFSerializeWrapper(this);
        }

        /// <summary>The source to serve; the first client opens it.</summary>
        public void SetSource(string sourceUrl)
        {
            byte[] url = NativeMethods.Utf8(sourceUrl);
            Call(h => NativeMethods.quillet_server_set_source(h, url));
        }

        /// <summary>Camera settings used when the source is opened.</summary>
        public void SetSourceSettings(SourceSettings sourceSettings)
        {
            if (sourceSettings == null)
                return;
            SourceSettingsRecord.With(sourceSettings, record => Call(h => NativeMethods.quillet_server_set_source_settings(h, ref record)));
        }

        public FFOutgoingWrapper AddClient() { lock (_serialize) return _serialize.AddClient(); }
        public void RemoveClient(FFOutgoingWrapper o) { lock (_serialize) _serialize.RemoveClient(o); }
        public void SetNumberOutgoingPackets(uint outgoings) { lock (_serialize) _serialize.SetNumberOutgoingPackets(outgoings); }
        public uint GetNumberOutgoingPackets() { lock (_serialize) return _serialize.GetNumberOutgoingPackets(); }

        protected override void Dispose(bool disposing)
        {
            if (disposing)
                lock (_serialize)
                    _serialize.Cleanup();
            base.Dispose(disposing);
        }
    }

    /// <summary>Serves a file or URL to clients at playback pace; no client loses records.</summary>
    public class FFPlayServerWrapper : FFWrapper, IFFSerializeWrapper
    {
        private readonly FFSerializeWrapper _serialize;

        public FFPlayServerWrapper() : this("FF1") { }
        public FFPlayServerWrapper(string log) : base(log, Kind.PlayServer)
        {
            _serialize = new FFSerializeWrapper(this);
        }

        /// <summary>The source to serve; the first client opens it.</summary>
        public void SetSource(string sourceUrl)
        {
            byte[] url = NativeMethods.Utf8(sourceUrl);
            Call(h => NativeMethods.quillet_server_set_source(h, url));
        }

        public FFOutgoingWrapper AddClient() { lock (_serialize) return _serialize.AddClient(); }
        public void RemoveClient(FFOutgoingWrapper o) { lock (_serialize) _serialize.RemoveClient(o); }
        public void SetNumberOutgoingPackets(uint outgoings) { lock (_serialize) _serialize.SetNumberOutgoingPackets(outgoings); }
        public uint GetNumberOutgoingPackets() { lock (_serialize) return _serialize.GetNumberOutgoingPackets(); }

        protected override void Dispose(bool disposing)
        {
            if (disposing)
                lock (_serialize)
                    _serialize.Cleanup();
            base.Dispose(disposing);
        }
    }

    /// <summary>Plays the serialized packets a server's client hands out.</summary>
    public class FFRemoteWrapper : FFWrapper
    {
        public FFRemoteWrapper() : this("FF1") { }
        public FFRemoteWrapper(string log) : base(log, Kind.Remote) { }

        /// <summary>Feeds one packet from a server's client. False when the player cannot take the rest
        /// now (read pictures, then offer the same packet again), for null or empty data, or without an
        /// engine.</summary>
        public bool WritePacket(byte[] data)
        {
            if (data == null || data.Length == 0)
                return false;
            return Call(h => NativeMethods.Pinned(data, p => NativeMethods.quillet_remote_write(h, p, new UIntPtr((uint)data.Length)))) == Status.Ok;
        }

        /// <summary>Forgets how far the current packet was taken: the next one is read from its start.</summary>
        public void WaitForSeek() { Call(NativeMethods.quillet_remote_restart_batch); }

        /// <summary>Drops incoming records until the seek marker for <paramref name="seekTo"/> arrives;
        /// true when this is a new target.</summary>
        public bool WaitForSeek(double seekTo)
        {
            int isNew = 0;
            return Call(h => NativeMethods.quillet_remote_wait_for_seek(h, seekTo, out isNew)) == Status.Ok && isNew != 0;
        }
    }

    /// <summary>The managed camera settings as the library's record, field by field.</summary>
    internal static class SourceSettingsRecord
    {
        internal static int With(SourceSettings s, Func<NativeSourceSettings, int> use)
        {
            var r = new NativeSourceSettings();
            NativeMethods.quillet_source_settings_init(ref r);
            r.size = new UIntPtr((uint)Marshal.SizeOf(typeof(NativeSourceSettings)));
            r.streamUsingTcp = s.streamUsingTCP ? 1 : 0;
            r.useTimeFilter = s.useTimeFilter ? 1 : 0;
            r.useOnlyVideo = s.useOnlyVideo ? 1 : 0;
            r.requireRtcp = s.requireRTCP ? 1 : 0;
            r.createTimingLog = s.createTimingLog ? 1 : 0;
            var strings = new List<IntPtr>();
            try
            {
                r.timingLogFolder = Native(s.timingLogFolder, strings);
                r.username = Native(s.username, strings);
                r.password = Native(s.password, strings);
                r.audioLatencyMs = s.audioLatencyMs;
                r.videoLatencyMs = s.videoLatencyMs;
                r.syncShiftMs = s.syncShiftMs;
                r.rtcpTimeoutMs = s.rtcpTimeoutMs;
                r.packetTimeoutMs = s.packetTimeoutMs;
                return use(r);
            }
            finally
            {
                foreach (IntPtr p in strings)
                    Marshal.FreeHGlobal(p);
            }
        }

        private static IntPtr Native(string s, List<IntPtr> owned)
        {
            byte[] bytes = NativeMethods.Utf8(s);
            IntPtr p = Marshal.AllocHGlobal(bytes.Length);
            owned.Add(p);
            Marshal.Copy(bytes, 0, p, bytes.Length);
            return p;
        }
    }
}
