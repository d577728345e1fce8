// The player facade: one native player handle, its calls, its events and its
// disposal.
//
// Threads and locks. Any application thread may call any operation; the
// library serialises the calls on one handle with its own lock. The facade's
// monitor (_mutex) guards only the facade's own state: which handle it owns
// (_engine, cleared once at disposal). It is never held across a call into the
// library, because the library's stop, close and destroy wait for the
// library's threads, and those threads run the application's event handlers,
// which may call this facade again: holding the monitor there would deadlock.
// Handlers run on the thread that reports the event (see RegisterFFEventCallback).
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Threading;

namespace Quillet.FFWrapperCLI
{
    /// <summary>The player facade: plays a media file, a URL or an rtsp:// camera.</summary>
    public class FFWrapper : IDisposable
    {
        private PlayerHandle _engine;
        private readonly object _mutex = new object();
        private readonly long _id;
        private ManagedEventDelegate _handlers;
        private readonly object _handlersLock = new object();
        // Guarded by _handlersLock: what a handler threw on one of the library's own threads, for
        // the next ReadFrameGetSize to throw.
        private Exception _libraryThreadException;
        // A read's result held back while a handler's exception was thrown in its place: the next
        // ReadFrameGetSize returns it (the reading thread's alone, like the read).
        private int? _heldResult;
        private FrameData _heldData;
        private IAudioInterface _audio;
        private readonly List<GCHandle> _audioPins = new List<GCHandle>();
        private readonly List<byte[]> _audioOffered = new List<byte[]>();

        /// <summary>A player with the log category "FF1".</summary>
        public FFWrapper() : this("FF1") { }

        /// <summary>A player whose log lines carry the category <paramref name="log"/>.</summary>
        public FFWrapper(string log) : this(log, Kind.Player) { }

        internal enum Kind { Player, Recorder, LiveServer, PlayServer, Remote }

        internal FFWrapper(string log, Kind kind)
        {
            // The library is loaded before any method that calls into it is compiled: Mono binds
            // those calls when it compiles the caller, and remembers a failure.
            NativeLoader.EnsureLoaded();
            _id = Interlocked.Increment(ref _nextId);
            _engine = Create(kind, log, _id);
            Facades[_id] = new WeakReference(this);
            LiveEngines[_id] = _engine;
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static PlayerHandle Create(Kind kind, string log, long id)
        {
            IntPtr player = NewPlayer(kind, NativeMethods.Utf8(log));
            if (player == IntPtr.Zero)
                throw new InvalidOperationException("The library could not create the player: " + NativeMethods.LastError());
            var engine = new PlayerHandle(player);
            // Events reach the handlers through the callback only; the pulled queue stays empty.
            NativeMethods.quillet_player_set_event_queue_size(engine, UIntPtr.Zero);
            NativeMethods.quillet_player_set_event_callback(engine, EventTrampoline, new IntPtr(id));
            return engine;
        }

        private static IntPtr NewPlayer(Kind kind, byte[] log)
        {
            switch (kind)
            {
                case Kind.Recorder: return NativeMethods.quillet_recorder_create(log);
                case Kind.LiveServer: return NativeMethods.quillet_live_server_create(log);
                case Kind.PlayServer: return NativeMethods.quillet_play_server_create(log);
                case Kind.Remote: return NativeMethods.quillet_remote_create(log);
                default: return NativeMethods.quillet_player_create(log);
            }
        }

        ~FFWrapper() { Dispose(false); }

        /// <summary>The application's handlers; adding and removing is synchronised.</summary>
        public event ManagedEventDelegate ManagedEventHandler
        {
            add { lock (_handlersLock) _handlers += value; }
            remove { lock (_handlersLock) _handlers -= value; }
        }

        /// <summary>Does nothing: the facade is usable right after construction.</summary>
        public void Initialize() { }

        /// <summary>Opens a file, a URL or an rtsp:// camera; blocks until its streams are known.</summary>
        public bool OpenSource(string sourceName)
        {
            byte[] name = NativeMethods.Utf8(sourceName);
            return Call(h => NativeMethods.quillet_player_open(h, name)) == Status.Ok;
        }

        /// <summary>Why the last open failed, or "" after a successful one (or without an engine).</summary>
        public string GetOpenFailureReason()
        {
            IntPtr reason = IntPtr.Zero;
            return Call(h => NativeMethods.quillet_player_get_open_failure(h, out reason)) == Status.Ok
                ? NativeMethods.FromUtf8(reason) : "";
        }

        /// <summary>Longest a network open or read may block, in seconds (0: no limit).</summary>
        public void SetNetworkTimeout(double seconds) { Call(h => NativeMethods.quillet_player_set_network_timeout(h, seconds)); }

        /// <summary>Stops reading and closes the source. From a handler on the very library thread the
        /// close must end, the close completes as soon as the handler returns.</summary>
        public void CloseSource() { Call(NativeMethods.quillet_player_close); }
        public bool StartEngine() { return Call(NativeMethods.quillet_player_start) == Status.Ok; }
        /// <summary>Stops the read thread. From a handler on that very thread, the stop completes as soon
        /// as the handler returns.</summary>
        public void StopEngine() { Call(NativeMethods.quillet_player_stop); }
        public void Pause() { Call(NativeMethods.quillet_player_pause); }
        public void Continue() { Call(NativeMethods.quillet_player_resume); }
        public void Flush() { Call(NativeMethods.quillet_player_flush); }

        public bool IsPause()
        {
            int paused = 0;
            return Call(h => NativeMethods.quillet_player_is_paused(h, out paused)) == Status.Ok && paused != 0;
        }

        public bool IsReady()
        {
            int ready = 0;
            return Call(h => NativeMethods.quillet_player_is_ready(h, out ready)) == Status.Ok && ready != 0;
        }

        /// <summary>Copies the next picture into <paramref name="data"/>. Returns its byte size, 0 when
        /// none is ready, -1 once at the end of the stream. <c>data.frame</c> keeps its array while the
        /// size and dimensions stay the same; <c>data.status</c> is set on every call.</summary>
        public int ReadFrameGetSize(FrameData data)
        {
            PlayerHandle h = _engine;
            if (data == null || h == null)
                return 0;
            if (_heldResult.HasValue)
                return TakeHeldResult(data);
            var info = new NativePicture();
            byte[] dst = data.frame ?? NoPixels;
            int stride = data.width > 0 ? data.width * 3 : 1;
            int status;
            ++_inFacadeCall;
            try
            {
                status = ReadInto(h, dst, stride, ref info);
                if (status == Status.BufferTooSmall)
                {
                    // A larger picture: the library keeps it for the next read, into an array that fits.
                    stride = info.width * 3;
                    dst = new byte[stride * info.height];
                    status = ReadInto(h, dst, stride, ref info);
                }
            }
            catch (ObjectDisposedException)
            {
                return 0; // disposed by another thread meanwhile
            }
            finally
            {
                --_inFacadeCall;
            }
            data.status = info.status;
            if (status == Status.Decode)
                throw new InvalidOperationException("Reading a picture failed: " + NativeMethods.LastError());
            int result = status == Status.End ? -1 : 0;
            if (status == Status.Ok)
            {
                int row = info.width * 3;
                result = row * info.height;
                if (info.width != data.width || info.height != data.height || dst.Length != result)
                    dst = Repack(dst, stride, row, info.height);
                data.frame = dst;
                data.width = info.width;
                data.height = info.height;
                data.frameTime = info.time;
                data.firstFrame = info.first != 0;
                long captureUs = 0;
                int trusted = 0;
                Call(handle => NativeMethods.quillet_player_get_capture_time(handle, out captureUs, out trusted));
                data.CaptureTimeUtc = FrameData.UnixEpoch.AddTicks(captureUs * 10);
                data.CaptureTimeTrusted = trusted != 0;
                data.size = result;
            }
            Exception thrown = TakeHandlerException();
            if (thrown == null)
                return result;
            // Every handler has run; the read's result is not lost but comes with the next read.
            if (result != 0)
            {
                _heldResult = result;
                _heldData = data;
            }
            throw new InvalidOperationException("An event handler threw: " + thrown.Message, thrown);
        }

        // The result held back by a read that threw a handler's exception, into `data`.
        private int TakeHeldResult(FrameData data)
        {
            int result = _heldResult.Value;
            FrameData held = _heldData;
            _heldResult = null;
            _heldData = null;
            if (result > 0 && held != data)
            {
                data.frame = held.frame;
                data.width = held.width;
                data.height = held.height;
                data.frameTime = held.frameTime;
                data.firstFrame = held.firstFrame;
                data.CaptureTimeUtc = held.CaptureTimeUtc;
                data.CaptureTimeTrusted = held.CaptureTimeTrusted;
                data.size = held.size;
                data.status = held.status;
            }
            return result;
        }

        // What a handler threw inside this thread's facade call, else what one threw on a library
        // thread since the last read; null when none threw.
        private Exception TakeHandlerException()
        {
            Exception e = _handlerException;
            _handlerException = null;
            if (e != null)
                return e;
            lock (_handlersLock)
            {
                e = _libraryThreadException;
                _libraryThreadException = null;
            }
            return e;
        }

        // Reads without waiting into `dst`, pinned for the call (no delegate: this runs per poll).
        private static int ReadInto(PlayerHandle h, byte[] dst, int stride, ref NativePicture info)
        {
            GCHandle pin = GCHandle.Alloc(dst, GCHandleType.Pinned);
            try
            {
                return NativeMethods.quillet_player_read_picture_into(h, pin.AddrOfPinnedObject(), new UIntPtr((uint)dst.Length), stride, ref info, 0);
            }
            finally
            {
                pin.Free();
            }
        }

        // The picture landed in an array of another size or at another stride: a packed array of
        // exactly its size replaces it.
        private static byte[] Repack(byte[] src, int stride, int row, int height)
        {
            if (stride == row && src.Length == row * height)
                return src;
            var packed = new byte[row * height];
            for (int y = 0; y < height; ++y)
                Buffer.BlockCopy(src, y * stride, packed, y * row, row);
            return packed;
        }

        public void GetDimensions(out int width, out int height)
        {
            width = Width();
            height = Height();
        }

        public int Width() { int w, h; Dimensions(false, out w, out h); return w; }
        public int Height() { int w, h; Dimensions(false, out w, out h); return h; }
        public int RenderWidth() { int w, h; Dimensions(true, out w, out h); return w; }
        public int RenderHeight() { int w, h; Dimensions(true, out w, out h); return h; }

        private void Dimensions(bool render, out int width, out int height)
        {
            int w = -1, ht = -1;
            int status = Call(h => render ? NativeMethods.quillet_player_get_render_dimensions(h, out w, out ht)
                                          : NativeMethods.quillet_player_get_dimensions(h, out w, out ht));
            width = status == Status.Ok ? w : -1;
            height = status == Status.Ok ? ht : -1;
        }

        /// <summary>Decodes video into <paramref name="pixelFormat"/> (<see cref="PixelFormat"/>); after the open, before the start.</summary>
        public void DecodeVideo(int pixelFormat) { Call(h => NativeMethods.quillet_player_set_pixel_format(h, pixelFormat)); }

        public void EnableAudio(bool enable) { Call(h => NativeMethods.quillet_player_enable_audio(h, enable ? 1 : 0)); }

        public bool IsAudio()
        {
            int has = 0;
            return Call(h => NativeMethods.quillet_player_has_audio(h, out has)) == Status.Ok && has != 0;
        }

        /// <summary>The PCM format handed to the audio sink; the outputs are written only when it returns true.</summary>
        public bool GetAudioFormat(out int rate, out int bits, out int channels)
        {
            int r = 0, b = 0, c = 0;
            bool ok = Call(h => NativeMethods.quillet_player_get_audio_format(h, out r, out b, out c)) == Status.Ok;
            rate = r;
            bits = b;
            channels = c;
            return ok;
        }

        /// <summary>Fills the buffers the audio sink offers and hands them back, on this thread.
        /// Returns the media time of the sound handed over, -1.0 when none was, 0.0 without an engine.</summary>
        public double ReadAudioFromInterface()
        {
            double time = 0.0;
            int status = Call(h => NativeMethods.quillet_player_read_audio(h, out time));
            ReleaseAudioPins();
            RethrowHandlerException();
            return status == Status.InvalidHandle ? 0.0 : time;
        }

        /// <summary>The host's audio sink (null for none); see <see cref="IAudioInterface"/>.</summary>
        public void SetAudioInterface(IAudioInterface audioInterface)
        {
            _audio = audioInterface;
            if (audioInterface == null)
            {
                Call(h => NativeMethods.quillet_player_set_audio_sink(h, IntPtr.Zero));
                return;
            }
            var sink = new NativeAudioSink
            {
                size = new UIntPtr((uint)Marshal.SizeOf(typeof(NativeAudioSink))),
                user = new IntPtr(_id),
                wantsAudio = Marshal.GetFunctionPointerForDelegate(WantsAudioTrampoline),
                getBuffers = Marshal.GetFunctionPointerForDelegate(GetBuffersTrampoline),
                submitBuffers = Marshal.GetFunctionPointerForDelegate(SubmitBuffersTrampoline),
            };
            Call(h => NativeMethods.quillet_player_set_audio_sink(h, ref sink));
        }

        public double GetDuration()
        {
            double seconds = 0.0;
            return Call(h => NativeMethods.quillet_player_get_duration(h, out seconds)) == Status.Ok ? seconds : 0.0;
        }

        public void Seek(double seconds) { Call(h => NativeMethods.quillet_player_seek(h, seconds)); }
        public void SetOptimizeSeek(bool optimizeSeek) { Call(h => NativeMethods.quillet_player_set_optimize_seek(h, optimizeSeek ? 1 : 0)); }

        public bool IsOptimizeSeek()
        {
            int enabled = 0;
            return Call(h => NativeMethods.quillet_player_get_optimize_seek(h, out enabled)) == Status.Ok && enabled != 0;
        }

        /// <summary>True when a seek to <paramref name="seconds"/> needs the source; <paramref name="pending"/>
        /// true while the pictures held in the pause still grow towards it.</summary>
        public bool IsOOB(double seconds, out bool pending)
        {
            int oob = 0, p = 0;
            bool ok = Call(h => NativeMethods.quillet_player_is_oob(h, seconds, out oob, out p)) == Status.Ok;
            pending = ok && p != 0;
            return ok && oob != 0;
        }

        public double GetSeekTime()
        {
            double seconds = -1.0;
            return Call(h => NativeMethods.quillet_player_get_seek_time(h, out seconds)) == Status.Ok ? seconds : -1.0;
        }

        /// <summary>Video decoding threads: 0 automatic, 1 the reading thread alone (default), N threads (frame threads for a file, slice threads for a camera).</summary>
        /// <summary>How a live camera is read when the application falls behind; at once. Files ignore it.</summary>
        public void SetLiveReading(LiveReading reading) { Call(h => NativeMethods.quillet_player_set_live_reading(h, (int)reading)); }

        public LiveReading GetLiveReading()
        {
            int policy = 0;
            return Call(h => NativeMethods.quillet_player_get_live_reading(h, out policy)) == Status.Ok ? (LiveReading)policy : LiveReading.Newest;
        }

        /// <summary>Pictures of a live camera missed since the source was opened.</summary>
        public ulong GetMissedPictures()
        {
            ulong missed = 0;
            return Call(h => NativeMethods.quillet_player_missed_pictures(h, out missed)) == Status.Ok ? missed : 0;
        }

        /// <summary>Publishes the source to <paramref name="url"/> (rtsp://, rtmp://, srt:// or a .m3u8 path)
        /// by stream copy; its state changes arrive as <see cref="PublishingStatusArgs"/>. False, with a Failed
        /// event, for a URL no protocol takes. Not from an event handler.</summary>
        public bool StartPublishing(string url)
        {
            byte[] u = NativeMethods.Utf8(url);
            return Call(h => NativeMethods.quillet_player_start_publishing(h, u)) == Status.Ok;
        }

        /// <summary>Stops the output for <paramref name="url"/>; false when none runs.</summary>
        public bool StopPublishing(string url)
        {
            byte[] u = NativeMethods.Utf8(url);
            return Call(h => NativeMethods.quillet_player_stop_publishing(h, u)) == Status.Ok;
        }

        public void SetDecodingThreads(int threads) { Call(h => NativeMethods.quillet_player_set_decoding_threads(h, threads)); }

        /// <summary>The size pictures are handed out at: 0, 0 the coded size (the default); one side 0
        /// follows the other with the display aspect ratio; both fit the picture inside that box. Any
        /// time, also while playing: applies from the next picture. GetDimensions keeps the coded size;
        /// FrameData carries the size handed out. False for a negative side.</summary>
        public bool SetPictureSize(int width, int height)
        {
            if (width < 0 || height < 0)
                return false;
            return Call(h => NativeMethods.quillet_player_set_picture_size(h, width, height)) == Status.Ok;
        }

        public int GetDecodingThreads()
        {
            int threads = 0;
            return Call(h => NativeMethods.quillet_player_get_decoding_threads(h, out threads)) == Status.Ok ? threads : 0;
        }

        /// <summary>Adds a handler. Handlers run synchronously on the thread that reports the event:
        /// the thread inside <see cref="ReadFrameGetSize"/> for the end of the stream, the source's read
        /// thread for errors and connection changes, the recording's write thread for sync points.
        /// A handler may call any facade, this one included, StopEngine, CloseSource and Dispose too:
        /// each does what it says (on the very library thread they must end, they complete as soon
        /// as the handler returns). A handler that throws keeps no other handler from the event.
        /// What it threw reaches the application as the InnerException (an AggregateException when
        /// several threw) of an InvalidOperationException thrown by ReadFrameGetSize: by the read
        /// that raised the event, or, for an event raised on one of the library's own threads (where
        /// it cannot unwind), by the facade's next read. The read's own result is not lost: the next
        /// ReadFrameGetSize returns it (the end of the stream's -1 included). ReadAudioFromInterface
        /// passes on what handlers threw inside it.</summary>
        public void RegisterFFEventCallback(ManagedEventDelegate cb) { ManagedEventHandler += cb; }

        /// <summary>Removes a handler; events with no handler left are dropped.</summary>
        public void UnRegisterFFEventCallback(ManagedEventDelegate cb) { ManagedEventHandler -= cb; }

        /// <summary>Closes the source and frees the native player. Afterwards every operation gives its
        /// neutral result. Safe from inside an event handler of this facade.</summary>
        public void Dispose()
        {
            Dispose(true);
            GC.SuppressFinalize(this);
        }

        protected virtual void Dispose(bool disposing)
        {
            PlayerHandle engine = DetachEngine();
            WeakReference ignored;
            Facades.TryRemove(_id, out ignored);
            PlayerHandle registered;
            LiveEngines.TryRemove(_id, out registered);
            if (engine == null)
                return;
            if (!disposing)
            {
                engine.Dispose(); // finalization: the handle's own finalizer may have run already
                return;
            }
            // Straight through, from a handler too: asked on the library thread it must end, the
            // destroy completes as soon as the handler returns, and no event reaches managed code
            // once the callback is cleared.
            Interrupt(engine); // an open or a wait on another thread ends now
            DestroyEngine(engine);
        }

        // No event reaches managed code once the facade is gone; the runtime destroys the player once
        // no call holds the handle any more.
        private static void DestroyEngine(PlayerHandle engine)
        {
            try
            {
                NativeMethods.quillet_player_set_event_callback(engine, null, IntPtr.Zero);
            }
            catch (ObjectDisposedException) { }
            engine.Dispose();
        }

        // ---- for the derived facades ------------------------------------------------------------

        /// <summary>Takes the engine out of the facade, once (_DeleteEngine's first half).</summary>
        internal PlayerHandle DetachEngine()
        {
            using (new @lock(_mutex))
            {
                PlayerHandle engine = _engine;
                _engine = null;
                return engine;
            }
        }

        internal static void Interrupt(PlayerHandle engine)
        {
            try
            {
                NativeMethods.quillet_player_interrupt(engine);
            }
            catch (ObjectDisposedException) { }
        }

        /// <summary>Runs one call with the engine; <see cref="Status.InvalidHandle"/> without one.</summary>
        internal int Call(Func<PlayerHandle, int> call)
        {
            PlayerHandle engine = _engine;
            if (engine == null)
                return Status.InvalidHandle;
            ++_inFacadeCall;
            try
            {
                return call(engine);
            }
            catch (ObjectDisposedException)
            {
                return Status.InvalidHandle; // disposed by another thread meanwhile
            }
            finally
            {
                --_inFacadeCall;
            }
        }

        // ---- events -------------------------------------------------------------------------------

        // The native callback is one static delegate, alive for the whole process, so the library can
        // call it at any time. It reaches a facade through its number in Facades, which holds the
        // facade weakly: a facade the application forgets is still finalized.
        private static long _nextId;
        private static readonly ConcurrentDictionary<long, WeakReference> Facades = new ConcurrentDictionary<long, WeakReference>();
        private static readonly NativeEventCallback EventTrampoline = OnNativeEvent;
        private static readonly NativeWantsAudio WantsAudioTrampoline = OnWantsAudio;
        private static readonly NativeGetBuffers GetBuffersTrampoline = OnGetBuffers;
        private static readonly NativeSubmitBuffers SubmitBuffersTrampoline = OnSubmitBuffers;
        private static readonly byte[] NoPixels = new byte[1];

        // A handler's exception, kept for the facade call on this thread that raised the event.
        [ThreadStatic] private static Exception _handlerException;
        // How deep this thread is in facade calls. A callback on a thread outside any facade call
        // comes from one of the library's own threads, which the runtime adopted for the call:
        // it is marked background, or Mono would wait for it (a thread that lives as long as the
        // library) when the application exits.
        [ThreadStatic] private static int _inFacadeCall;
        [ThreadStatic] private static bool _adopted;

        internal static void AdoptLibraryThread()
        {
            if (_inFacadeCall > 0 || _adopted)
                return;
            _adopted = true;
            Thread.CurrentThread.IsBackground = true;
        }

        // The players no facade has destroyed yet, by facade number (held strongly: a forgotten
        // facade is still finalized, and its finalizer takes its player out). Mono waits at exit for
        // every thread that ever ran managed code, background threads too, and a library thread
        // that ran an event handler ends only when its player goes: a camera that keeps
        // reconnecting would keep an application whose Main has returned alive for ever. The
        // process's exit (after the application's own threads, before that wait) destroys them.
        private static readonly ConcurrentDictionary<long, PlayerHandle> LiveEngines = new ConcurrentDictionary<long, PlayerHandle>();

        static FFWrapper()
        {
            AppDomain.CurrentDomain.ProcessExit += (sender, args) => DestroyAtExit();
        }

        private static void DestroyAtExit()
        {
            foreach (long id in LiveEngines.Keys)
            {
                PlayerHandle engine;
                if (!LiveEngines.TryRemove(id, out engine))
                    continue;
                Interrupt(engine);
                DestroyEngine(engine);
            }
        }

        private static FFWrapper Find(IntPtr user)
        {
            WeakReference facade;
            return Facades.TryGetValue(user.ToInt64(), out facade) ? facade.Target as FFWrapper : null;
        }

        private static void OnNativeEvent(IntPtr user, IntPtr record)
        {
            try
            {
                AdoptLibraryThread();
                FFWrapper facade = Find(user);
                if (facade == null || record == IntPtr.Zero)
                    return;
                EventArgs args = ToManaged((NativeEvent)Marshal.PtrToStructure(record, typeof(NativeEvent)));
                ManagedEventDelegate handlers;
                lock (facade._handlersLock)
                    handlers = facade._handlers;
                if (args == null || handlers == null)
                    return;
                Exception thrown = RunEveryHandler(handlers, args);
                if (thrown == null)
                    return;
                if (_inFacadeCall > 0)
                    _handlerException = thrown; // thrown by the facade call that raised the event
                else
                    lock (facade._handlersLock)
                        facade._libraryThreadException = facade._libraryThreadException ?? thrown;
            }
            catch (Exception e)
            {
                _handlerException = e;
            }
        }

        // Calls each handler on its own, so that one that throws does not keep the others from the
        // event; what they threw (several in an AggregateException), or null.
        private static Exception RunEveryHandler(ManagedEventDelegate handlers, EventArgs args)
        {
            List<Exception> thrown = null;
            foreach (ManagedEventDelegate handler in handlers.GetInvocationList())
            {
                try
                {
                    handler(args);
                }
                catch (Exception e)
                {
                    (thrown = thrown ?? new List<Exception>()).Add(e);
                }
            }
            if (thrown == null)
                return null;
            return thrown.Count == 1 ? thrown[0] : new AggregateException(thrown);
        }

        private static EventArgs ToManaged(NativeEvent e)
        {
            switch (e.type)
            {
                case EventType.Message:
                    return new FFMessageEventArgs((FFMessageType)e.code);
                case EventType.SyncPoint:
                    return new SyncPointEventArgs
                    {
                        videoTime = TimeSpan.FromTicks((long)Math.Round(e.videoTime * TimeSpan.TicksPerSecond)),
                        PCTimeUTC = SyncPointEventArgs.PCTimeFromTicks(e.pcTime),
                        fileName = NativeMethods.FromUtf8(e.text),
                        isGood = e.isGood != 0,
                    };
                case EventType.PublishingStatus:
                    return new PublishingStatusArgs
                    {
                        url = NativeMethods.FromUtf8(e.url),
                        state = (PublishingState)e.code,
                        message = NativeMethods.FromUtf8(e.text),
                    };
                case EventType.MissedPictures:
                    return new MissedPicturesEventArgs { missed = e.missed, total = e.missedTotal };
                case EventType.ConnectionStatus:
                    return new SourceConnectionStatusArgs
                    {
                        message = NativeMethods.FromUtf8(e.text),
                        status = (ConnectionStatus)e.code,
                    };
                default:
                    return null;
            }
        }

        private static void RethrowHandlerException()
        {
            Exception e = _handlerException;
            if (e == null)
                return;
            _handlerException = null;
            throw new InvalidOperationException("An event handler threw: " + e.Message, e);
        }

        // ---- audio sink ---------------------------------------------------------------------------
        // The library calls these on the thread inside ReadAudioFromInterface, one at a time. The
        // offered arrays stay pinned from GetBuffers until they are handed back (or the read ends).

        private static int OnWantsAudio(IntPtr user)
        {
            try
            {
                AdoptLibraryThread();
                FFWrapper facade = Find(user);
                IAudioInterface sink = facade != null ? facade._audio : null;
                return sink != null && sink.WantsAudio() ? 1 : 0;
            }
            catch (Exception e)
            {
                _handlerException = e;
                return 0;
            }
        }

        private static int OnGetBuffers(IntPtr user, IntPtr buffers, int capacity)
        {
            try
            {
                AdoptLibraryThread();
                FFWrapper facade = Find(user);
                IAudioInterface sink = facade != null ? facade._audio : null;
                IList<byte[]> offered = sink != null ? sink.GetBuffers() : null;
                if (offered == null)
                    return 0;
                facade.ReleaseAudioPins();
                int n = 0, entry = 2 * IntPtr.Size;
                foreach (byte[] buffer in offered)
                {
                    if (n == capacity)
                        break;
                    if (buffer == null)
                        continue;
                    GCHandle pin = GCHandle.Alloc(buffer, GCHandleType.Pinned);
                    facade._audioPins.Add(pin);
                    facade._audioOffered.Add(buffer);
                    Marshal.WriteIntPtr(buffers, n * entry, pin.AddrOfPinnedObject());
                    Marshal.WriteIntPtr(buffers, n * entry + IntPtr.Size, new IntPtr(buffer.Length));
                    ++n;
                }
                return n;
            }
            catch (Exception e)
            {
                _handlerException = e;
                return 0;
            }
        }

        private static void OnSubmitBuffers(IntPtr user, IntPtr filled, int count)
        {
            try
            {
                AdoptLibraryThread();
                FFWrapper facade = Find(user);
                IAudioInterface sink = facade != null ? facade._audio : null;
                if (facade == null)
                    return;
                var segments = new List<ArraySegment<byte>>(count);
                int entry = 2 * IntPtr.Size;
                for (int i = 0; i < count && i < facade._audioOffered.Count; ++i)
                {
                    byte[] buffer = facade._audioOffered[i];
                    long written = Marshal.ReadIntPtr(filled, i * entry + IntPtr.Size).ToInt64();
                    segments.Add(new ArraySegment<byte>(buffer, 0, (int)Math.Min(Math.Max(written, 0), buffer.Length)));
                }
                facade.ReleaseAudioPins();
                if (sink != null)
                    sink.SubmitBuffers(segments);
            }
            catch (Exception e)
            {
                _handlerException = e;
            }
        }

        private void ReleaseAudioPins()
        {
            foreach (GCHandle pin in _audioPins)
                pin.Free();
            _audioPins.Clear();
            _audioOffered.Clear();
        }
    }
}
