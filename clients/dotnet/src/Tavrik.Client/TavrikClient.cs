// A user interface's connection to a running Tavrik worker: registers templates through the
// command ring and reads the worker's decisions from the hit ring.
//
// The hit ring has exactly one reader. A client becomes that reader when it enumerates ReadHits;
// two readers (two clients, or a client beside `tavrik-ctl watch`) would each take messages the
// other never sees. Heartbeat and Version never take messages: they look for their reply without
// consuming, and a running ReadHits still yields it.
//
// Threads: every member may be called from any thread, and commands may be published while
// another thread reads; one reading mode runs at a time (a ReadHits enumeration, NextHitAsync
// calls, or the background reader of TavrikClient.Async.cs). Dispose waits for calls in progress
// (a waiting read notices within 100 ms and throws ObjectDisposedException).
using System;
using System.Collections.Generic;
using System.Threading;

namespace Tavrik.Client
{
    /// <summary>
    /// A user interface's connection to a running Tavrik worker: registers templates through the
    /// command ring and reads the worker's decisions from the hit ring. Every member may be called
    /// from any thread.
    /// </summary>
    public sealed partial class TavrikClient : IDisposable
    {
        /// <summary>How long a command waits for a free slot when no timeout is given.</summary>
        public static readonly TimeSpan DefaultTimeout = TimeSpan.FromSeconds(5);

        // Longest single wait on the hit event: bounds how late a cancellation or Dispose is
        // noticed, and recovers a wake that another process (such as `tavrik-ctl heartbeat`, which
        // waits on the same event) took from us.
        static readonly TimeSpan WaitSlice = TimeSpan.FromMilliseconds(100);

        readonly IRingTransport _transport;
        readonly CommandRingWriter _commands;
        readonly HitRingReader _hits;
        readonly HitWaiters _waiters;
        readonly CancellationTokenSource _closing = new CancellationTokenSource();
        readonly object _lifeGate = new object();
        int _users;
        bool _disposed;
        int _reading;

        internal TavrikClient(IRingTransport transport, string ipcNamespace)
        {
            _transport = transport;
            Namespace = ipcNamespace;
            _commands = new CommandRingWriter(transport);
            _hits = new HitRingReader(transport.HitRing);
            _waiters = new HitWaiters(transport);
        }

        /// <summary>
        /// Attaches to the worker of <paramref name="namespace"/>. On Linux the default is
        /// $TAVRIK_IPC_NAMESPACE when set, else "tavrik-(uid)", the worker's own default; on Windows
        /// the worker's objects are always in the session namespace and the argument is ignored.
        /// </summary>
        /// <exception cref="WorkerNotRunningException">No worker serves the namespace.</exception>
        /// <exception cref="TavrikException">The rings exist but cannot be used.</exception>
        public static TavrikClient Open(string @namespace = null)
        {
            if (!BitConverter.IsLittleEndian)
                throw new PlatformNotSupportedException("the rings are little-endian");
            if (Environment.OSVersion.Platform == PlatformID.Win32NT)
                return new TavrikClient(WindowsTransport.Open(), "Local");
            string ns = @namespace ?? LinuxTransport.DefaultNamespace();
            return new TavrikClient(LinuxTransport.Open(ns), ns);
        }

        /// <summary>The IPC namespace of the worker ("Local" on Windows).</summary>
        public string Namespace { get; private set; }

        /// <summary>True while a worker holds the liveness lock of these rings.</summary>
        public bool IsWorkerRunning
        {
            get
            {
                using (Use())
                    return _transport.IsWorkerAlive();
            }
        }

        /// <summary>Commands published and not yet taken by the worker (at most 64).</summary>
        public long PendingCommands
        {
            get
            {
                using (Use())
                    return _commands.Pending;
            }
        }

        /// <summary>Hit-ring messages waiting for the reader.</summary>
        public long PendingHits
        {
            get
            {
                using (Use())
                    return _hits.Pending;
            }
        }

        /// <summary>
        /// Messages the worker dropped because 64 were waiting unread (the ring's counter, which
        /// wraps at 2^32).
        /// </summary>
        public long DroppedHits
        {
            get
            {
                using (Use())
                    return _hits.Dropped;
            }
        }

        /// <summary>
        /// The name that the hits of a template carry: its part before the first ':' ("badge" for
        /// "badge:ok"), or the whole name.
        /// </summary>
        public static string HitNameOf(string templateName)
        {
            return CommandBuilder.HitNameOf(templateName);
        }

        /// <summary>
        /// Registers (or replaces) a template. The worker evaluates it from then on, every
        /// <paramref name="cooldownMs"/> at most, and reports every decision through the hit ring
        /// under <see cref="HitNameOf"/> of the name.
        /// </summary>
        /// <param name="name">1 to 32 UTF-16 units; its part before the first ':' is its kind
        /// ("t1", "t2", "t3", or any other) and the name its hits carry, which must be 1 to 30
        /// units.</param>
        /// <param name="path">The template image, 1 to 64 units; absolute, or relative to the
        /// worker's search folders.</param>
        /// <param name="processName">Image name of the target process ("game.exe" or "game", any
        /// case), 1 to 16 units.</param>
        /// <param name="roiX">Region of interest, relative to the target's client area.</param>
        /// <param name="roiY">Top of the region of interest.</param>
        /// <param name="roiWidth">At least 1.</param>
        /// <param name="roiHeight">At least 1.</param>
        /// <param name="threshold">At most 1; 0 or less asks for the worker's default, 0.9. Kind
        /// "t2" always uses 0.97.</param>
        /// <param name="cooldownMs">Least time between two evaluations; not negative.</param>
        /// <param name="baselineMargin">Shown in the worker's log.</param>
        /// <param name="spare">Carried to the worker, not used by it.</param>
        /// <param name="timeout">How long to wait for a free slot; default 5 s.</param>
        /// <exception cref="ArgumentException">A field the worker would cut or change.</exception>
        /// <exception cref="TimeoutException">No free slot came within the timeout.</exception>
        public void AddTemplate(string name, string path, string processName, int roiX, int roiY,
                                int roiWidth, int roiHeight, float threshold = 0f,
                                int cooldownMs = 0, float baselineMargin = 0f, float spare = 0f,
                                TimeSpan? timeout = null)
        {
            Publish(CommandBuilder.Add(name, path, processName, roiX, roiY, roiWidth, roiHeight,
                                       threshold, cooldownMs, baselineMargin, spare),
                    timeout);
        }

        /// <summary>Registers (or replaces) the template <paramref name="spec"/> describes.</summary>
        /// <exception cref="ArgumentException">A field the worker would cut or change.</exception>
        /// <exception cref="TimeoutException">No free slot came within the timeout.</exception>
        public void AddTemplate(TemplateSpec spec, TimeSpan? timeout = null)
        {
            if (spec == null)
                throw new ArgumentNullException("spec");
            Publish(spec.ToSlot(), timeout);
        }

        /// <summary>Unregisters the template of that full name (1 to 32 units).</summary>
        public void Remove(string name, TimeSpan? timeout = null)
        {
            Publish(CommandBuilder.Remove(name), timeout);
        }

        /// <summary>Unregisters every template.</summary>
        public void Clear(TimeSpan? timeout = null)
        {
            Publish(CommandBuilder.Bare(CommandType.Clear), timeout);
        }

        /// <summary>
        /// Asks the worker for a heartbeat; true when its answer arrived within the timeout.
        /// </summary>
        /// <exception cref="HitRingFullException">No answer came, and the worker dropped messages
        /// meanwhile because 64 waited unread in the hit ring.</exception>
        public bool Heartbeat(TimeSpan timeout)
        {
            return RequestReply(CommandType.Heartbeat, "__hb__:CMD", true, timeout,
                                CancellationToken.None) != null;
        }

        /// <summary>The worker's protocol version ("0.2.4").</summary>
        /// <exception cref="TimeoutException">No answer within the timeout.</exception>
        /// <exception cref="HitRingFullException">No answer came, and the worker dropped messages
        /// meanwhile because 64 waited unread in the hit ring.</exception>
        public string Version(TimeSpan timeout)
        {
            return Version(timeout, CancellationToken.None);
        }

        string Version(TimeSpan timeout, CancellationToken cancellationToken)
        {
            const string Prefix = "__ver__:";
            HitMessage reply = RequestReply(CommandType.Version, Prefix, false, timeout,
                                            cancellationToken);
            if (reply == null)
                throw new TimeoutException("the worker did not answer a version request within "
                                           + timeout.TotalSeconds + " s");
            return reply.Name.Substring(Prefix.Length);
        }

        /// <summary>
        /// The hit ring's messages in order, each taken from the ring (this client becomes the
        /// ring's one reader). Blocks on the ring's event while nothing is pending.
        /// </summary>
        /// <exception cref="OperationCanceledException">The token was cancelled.</exception>
        /// <exception cref="InvalidOperationException">Another enumeration of this client is
        /// running.</exception>
        public IEnumerable<HitMessage> ReadHits(CancellationToken cancellationToken)
        {
            if (Interlocked.CompareExchange(ref _reading, ReadingEnumeration, 0) != 0)
                throw AlreadyReading();
            try
            {
                for (;;)
                    yield return NextHit(cancellationToken);
            }
            finally
            {
                Volatile.Write(ref _reading, 0);
            }
        }

        HitMessage NextHit(CancellationToken cancellationToken)
        {
            for (;;)
            {
                cancellationToken.ThrowIfCancellationRequested();
                using (Use())
                {
                    HitSlot slot;
                    uint index;
                    if (_hits.TryCopyOldest(out slot, out index))
                    {
                        HitMessage message = HitMessage.FromSlot(slot);
                        _waiters.Offer(index, message);
                        _hits.Release(index);
                        return message;
                    }
                    _waiters.Wait(() => _hits.Pending != 0 || cancellationToken.IsCancellationRequested,
                                  WaitSlice);
                }
            }
        }

        // Publishes a request and looks for the reply among the messages published after it,
        // without taking any: the messages belong to the reader.
        HitMessage RequestReply(CommandType type, string prefix, bool exact, TimeSpan timeout,
                                CancellationToken cancellationToken)
        {
            CheckTimeout(timeout);
            DateTime deadline = DateTime.UtcNow + timeout;
            using (Use())
            {
                uint droppedBefore = _hits.Dropped;
                ReplyWaiter waiter = _waiters.Expect(prefix, exact, _hits.WriteIndex);
                try
                {
                    _commands.Publish(CommandBuilder.Bare(type), timeout, _closing.Token,
                                      cancellationToken);
                    uint next = waiter.From;
                    for (;;)
                    {
                        cancellationToken.ThrowIfCancellationRequested();
                        HitMessage offered = _waiters.ReplyOf(waiter);
                        if (offered != null)
                            return offered;
                        for (; next != _hits.WriteIndex; next = unchecked(next + 1))
                        {
                            HitSlot slot;
                            // A message the reader took was offered to the waiter before it was
                            // released: skipping it loses nothing.
                            if (_hits.Peek(next, out slot) != HitRingReader.PeekResult.Copied)
                                continue;
                            HitMessage message = HitMessage.FromSlot(slot);
                            if (waiter.Matches(message.Name))
                                return message;
                        }
                        TimeSpan left = deadline - DateTime.UtcNow;
                        if (left <= TimeSpan.Zero || _closing.IsCancellationRequested)
                            break;
                        uint seen = next;
                        _waiters.Wait(() => _hits.WriteIndex != seen || _waiters.ReplyOf(waiter) != null
                                            || cancellationToken.IsCancellationRequested,
                                      left < WaitSlice ? left : WaitSlice);
                    }
                    HitMessage late = _waiters.ReplyOf(waiter);
                    if (late != null)
                        return late;
                    // A message dropped while we waited may have been the answer: that is no
                    // sign of a dead worker.
                    uint dropped = unchecked(_hits.Dropped - droppedBefore);
                    if (dropped != 0)
                        throw new HitRingFullException(
                            "the hit ring was full (64 messages nobody had read), and the worker "
                            + "dropped " + dropped + " message(s) while waiting, perhaps its answer; "
                            + "read the messages with ReadHits");
                    return null;
                }
                finally
                {
                    _waiters.Forget(waiter);
                }
            }
        }

        internal IRingTransport Transport
        {
            get { return _transport; }
        }

        internal void Publish(CommandSlot slot, TimeSpan? timeout,
                              CancellationToken cancellationToken = default(CancellationToken))
        {
            TimeSpan wait = timeout ?? DefaultTimeout;
            CheckTimeout(wait);
            using (Use())
                _commands.Publish(slot, wait, _closing.Token, cancellationToken);
        }

        static void CheckTimeout(TimeSpan timeout)
        {
            if (timeout < TimeSpan.Zero)
                throw new ArgumentOutOfRangeException("timeout", timeout,
                                                      "timeout must not be negative");
        }

        // Keeps the mapping alive for the duration of one call; Dispose waits for all of them.
        Lease Use()
        {
            lock (_lifeGate)
            {
                if (_disposed)
                    throw new ObjectDisposedException("TavrikClient");
                ++_users;
            }
            return new Lease(this);
        }

        struct Lease : IDisposable
        {
            readonly TavrikClient _client;

            public Lease(TavrikClient client)
            {
                _client = client;
            }

            public void Dispose()
            {
                lock (_client._lifeGate)
                {
                    if (--_client._users == 0)
                        Monitor.PulseAll(_client._lifeGate);
                }
            }
        }

        /// <summary>Detaches from the worker. Registered templates stay registered.</summary>
        public void Dispose()
        {
            lock (_lifeGate)
            {
                if (_disposed)
                    return;
                _disposed = true;
                _closing.Cancel();
                while (_users > 0)
                    Monitor.Wait(_lifeGate);
            }
            StopBackgroundReader();
            _transport.Dispose();
            _closing.Dispose();
        }
    }
}
