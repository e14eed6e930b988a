// The asynchronous face of TavrikClient, for a user interface's thread. Commands and requests run
// on the thread pool and return Tasks: the calling thread only checks the arguments and queues the
// work, and never waits for a free slot, the producer lock or a reply. Hits come either from a
// background reader, as HitReceived events (on its own thread, or posted to a captured
// SynchronizationContext such as the UI thread's), or one at a time from NextHitAsync.
//
// Without the background reader, NextHitAsync takes one message from the ring per call, so the
// ring itself keeps the messages that arrive between two calls. With it, NextHitAsync completes
// with the next message the reader takes after the call.
//
// Threads: every member may be called from any thread. HitReceived handlers run on the reader's
// thread (one at a time, in ring order) or on the captured context; a handler that throws ends
// the process, as any unhandled exception on a thread does.
using System;
using System.Collections.Generic;
using System.Threading;
using System.Threading.Tasks;

namespace Tavrik.Client
{
    /// <summary>One message of the hit ring, as <see cref="TavrikClient.HitReceived"/> gives it.</summary>
    public sealed class HitEventArgs : EventArgs
    {
        /// <summary>Carries <paramref name="message"/>.</summary>
        public HitEventArgs(HitMessage message)
        {
            Message = message;
        }

        /// <summary>The message, taken from the ring.</summary>
        public HitMessage Message { get; private set; }
    }

    public sealed partial class TavrikClient
    {
        const int ReadingEnumeration = 1, ReadingInBackground = 2, ReadingOnce = 3;

        readonly object _readerGate = new object();
        readonly List<TaskCompletionSource<HitMessage>> _nextHits =
            new List<TaskCompletionSource<HitMessage>>();
        // Serialises NextHitAsync calls that take from the ring themselves.
        readonly SemaphoreSlim _takeGate = new SemaphoreSlim(1, 1);
        Thread _reader;
        CancellationTokenSource _readerStop;

        /// <summary>
        /// Raised for every message the background reader takes from the hit ring (see
        /// <see cref="StartReadingHits"/>), in ring order.
        /// </summary>
        public event EventHandler<HitEventArgs> HitReceived;

        /// <summary>True while the background reader runs.</summary>
        public bool IsReadingHits
        {
            get
            {
                lock (_readerGate)
                    return _reader != null;
            }
        }

        /// <summary>Registers (or replaces) a template, waiting at most 5 s for a free slot.</summary>
        /// <exception cref="ArgumentException">A field the worker would cut or change (thrown at
        /// once).</exception>
        /// <remarks>The task fails with <see cref="TimeoutException"/> when no free slot came in
        /// time, and is cancelled when the token is.</remarks>
        public Task AddTemplateAsync(TemplateSpec spec, CancellationToken cancellationToken = default(CancellationToken))
        {
            return AddTemplateAsync(spec, DefaultTimeout, cancellationToken);
        }

        /// <summary>Registers (or replaces) a template, waiting at most
        /// <paramref name="timeout"/> for a free slot.</summary>
        /// <exception cref="ArgumentException">A field the worker would cut or change (thrown at
        /// once).</exception>
        public Task AddTemplateAsync(TemplateSpec spec, TimeSpan timeout,
                                     CancellationToken cancellationToken = default(CancellationToken))
        {
            if (spec == null)
                throw new ArgumentNullException("spec");
            return PublishAsync(spec.ToSlot(), timeout, cancellationToken);
        }

        /// <summary>Unregisters the template of that full name, waiting at most 5 s for a free
        /// slot.</summary>
        public Task RemoveAsync(string name, CancellationToken cancellationToken = default(CancellationToken))
        {
            return RemoveAsync(name, DefaultTimeout, cancellationToken);
        }

        /// <summary>Unregisters the template of that full name.</summary>
        public Task RemoveAsync(string name, TimeSpan timeout,
                                CancellationToken cancellationToken = default(CancellationToken))
        {
            return PublishAsync(CommandBuilder.Remove(name), timeout, cancellationToken);
        }

        /// <summary>Unregisters every template, waiting at most 5 s for a free slot.</summary>
        public Task ClearAsync(CancellationToken cancellationToken = default(CancellationToken))
        {
            return ClearAsync(DefaultTimeout, cancellationToken);
        }

        /// <summary>Unregisters every template.</summary>
        public Task ClearAsync(TimeSpan timeout, CancellationToken cancellationToken = default(CancellationToken))
        {
            return PublishAsync(CommandBuilder.Bare(CommandType.Clear), timeout, cancellationToken);
        }

        /// <summary>Asks for a heartbeat; true when the answer came within 5 s.</summary>
        public Task<bool> HeartbeatAsync(CancellationToken cancellationToken = default(CancellationToken))
        {
            return HeartbeatAsync(DefaultTimeout, cancellationToken);
        }

        /// <summary>Asks for a heartbeat; true when the answer came within the timeout.</summary>
        /// <remarks>The task fails with <see cref="HitRingFullException"/> as
        /// <see cref="Heartbeat"/> throws it.</remarks>
        public Task<bool> HeartbeatAsync(TimeSpan timeout,
                                         CancellationToken cancellationToken = default(CancellationToken))
        {
            CheckTimeout(timeout);
            return Task.Run(() => RequestReply(CommandType.Heartbeat, "__hb__:CMD", true, timeout,
                                               cancellationToken) != null,
                            cancellationToken);
        }

        /// <summary>The worker's protocol version; the task fails with
        /// <see cref="TimeoutException"/> when no answer came within 5 s.</summary>
        public Task<string> VersionAsync(CancellationToken cancellationToken = default(CancellationToken))
        {
            return VersionAsync(DefaultTimeout, cancellationToken);
        }

        /// <summary>The worker's protocol version ("0.2.4"); the task fails with
        /// <see cref="TimeoutException"/> when no answer came within the timeout.</summary>
        public Task<string> VersionAsync(TimeSpan timeout,
                                         CancellationToken cancellationToken = default(CancellationToken))
        {
            CheckTimeout(timeout);
            return Task.Run(() => Version(timeout, cancellationToken), cancellationToken);
        }

        Task PublishAsync(CommandSlot slot, TimeSpan timeout, CancellationToken cancellationToken)
        {
            CheckTimeout(timeout);
            return Task.Run(() => Publish(slot, timeout, cancellationToken), cancellationToken);
        }

        /// <summary>
        /// The next message of the hit ring. Without the background reader, takes it from the ring
        /// (this client becomes the ring's reader; concurrent calls are served in turn). With it,
        /// completes with the next message the reader takes after this call.
        /// </summary>
        /// <remarks>The task is cancelled when the token is (noticed within 100 ms), fails with
        /// <see cref="ObjectDisposedException"/> when the client is disposed, and with
        /// <see cref="InvalidOperationException"/> while a ReadHits enumeration runs.</remarks>
        public Task<HitMessage> NextHitAsync(CancellationToken cancellationToken = default(CancellationToken))
        {
            using (Use())
            {
                lock (_readerGate)
                {
                    if (_reader != null)
                        return AwaitReader(cancellationToken);
                }
            }
            return TakeOneAsync(cancellationToken);
        }

        // Called holding _readerGate.
        Task<HitMessage> AwaitReader(CancellationToken cancellationToken)
        {
            var next = new TaskCompletionSource<HitMessage>(
                TaskCreationOptions.RunContinuationsAsynchronously);
            if (cancellationToken.IsCancellationRequested)
            {
                next.SetCanceled();
                return next.Task;
            }
            _nextHits.Add(next);
            if (cancellationToken.CanBeCanceled)
            {
                CancellationTokenRegistration registration = cancellationToken.Register(() =>
                {
                    lock (_readerGate)
                        _nextHits.Remove(next);
                    next.TrySetCanceled(cancellationToken);
                });
                next.Task.ContinueWith(done => registration.Dispose(), TaskScheduler.Default);
            }
            return next.Task;
        }

        async Task<HitMessage> TakeOneAsync(CancellationToken cancellationToken)
        {
            await _takeGate.WaitAsync(cancellationToken).ConfigureAwait(false);
            try
            {
                return await Task.Run(() =>
                {
                    if (Interlocked.CompareExchange(ref _reading, ReadingOnce, 0) != 0)
                        throw AlreadyReading();
                    try
                    {
                        return NextHit(cancellationToken);
                    }
                    finally
                    {
                        Volatile.Write(ref _reading, 0);
                    }
                }, cancellationToken).ConfigureAwait(false);
            }
            finally
            {
                _takeGate.Release();
            }
        }

        /// <summary>
        /// Starts the background reader: from now on this client is the hit ring's reader, and
        /// every message raises <see cref="HitReceived"/> and completes pending
        /// <see cref="NextHitAsync"/> calls. With <paramref name="raiseOnCapturedContext"/>, the
        /// events are posted to the calling thread's SynchronizationContext (call it on the UI
        /// thread); otherwise they are raised on the reader's own thread.
        /// </summary>
        /// <exception cref="InvalidOperationException">The client already reads (the background
        /// reader, a ReadHits enumeration or a NextHitAsync call), or there is no context to
        /// capture.</exception>
        public void StartReadingHits(bool raiseOnCapturedContext = false)
        {
            SynchronizationContext context = null;
            if (raiseOnCapturedContext)
            {
                context = SynchronizationContext.Current;
                if (context == null)
                    throw new InvalidOperationException(
                        "this thread has no SynchronizationContext to raise the hits on");
            }
            using (Use())
            {
                lock (_readerGate)
                {
                    if (Interlocked.CompareExchange(ref _reading, ReadingInBackground, 0) != 0)
                        throw AlreadyReading();
                    _readerStop = new CancellationTokenSource();
                    CancellationToken stop = _readerStop.Token;
                    _reader = new Thread(() => ReadInBackground(context, stop))
                    {
                        IsBackground = true,
                        Name = "Tavrik hit reader",
                    };
                    _reader.Start();
                }
            }
        }

        /// <summary>
        /// Stops the background reader and waits for it (unless called from a HitReceived handler
        /// on its thread). Pending NextHitAsync calls are cancelled; messages stay in the ring.
        /// </summary>
        public void StopReadingHits()
        {
            StopBackgroundReader();
        }

        void StopBackgroundReader()
        {
            Thread reader;
            lock (_readerGate)
            {
                reader = _reader;
                if (reader == null)
                    return;
                _readerStop.Cancel();
            }
            if (reader != Thread.CurrentThread)
                reader.Join();
        }

        void ReadInBackground(SynchronizationContext context, CancellationToken stop)
        {
            try
            {
                for (;;)
                    Deliver(NextHit(stop), context);
            }
            catch (OperationCanceledException)
            {
            }
            catch (ObjectDisposedException)
            {
            }
            finally
            {
                // Dispose also stops the reader; its waiters learn why, whichever it saw first.
                bool disposed;
                lock (_lifeGate)
                    disposed = _disposed;
                List<TaskCompletionSource<HitMessage>> waiting;
                lock (_readerGate)
                {
                    waiting = new List<TaskCompletionSource<HitMessage>>(_nextHits);
                    _nextHits.Clear();
                    _readerStop.Dispose();
                    _readerStop = null;
                    _reader = null;
                    Volatile.Write(ref _reading, 0);
                }
                foreach (TaskCompletionSource<HitMessage> next in waiting)
                {
                    if (disposed)
                        next.TrySetException(new ObjectDisposedException("TavrikClient"));
                    else
                        next.TrySetCanceled();
                }
            }
        }

        void Deliver(HitMessage message, SynchronizationContext context)
        {
            List<TaskCompletionSource<HitMessage>> waiting = null;
            lock (_readerGate)
            {
                if (_nextHits.Count != 0)
                {
                    waiting = new List<TaskCompletionSource<HitMessage>>(_nextHits);
                    _nextHits.Clear();
                }
            }
            if (waiting != null)
                foreach (TaskCompletionSource<HitMessage> next in waiting)
                    next.TrySetResult(message);
            EventHandler<HitEventArgs> handler = HitReceived;
            if (handler == null)
                return;
            var args = new HitEventArgs(message);
            if (context == null)
                handler(this, args);
            else
                context.Post(state => handler(this, args), null);
        }

        static InvalidOperationException AlreadyReading()
        {
            return new InvalidOperationException(
                "this client already reads the hit ring (a ReadHits enumeration, the background "
                + "reader or a NextHitAsync call); the hit ring has one reader");
        }
    }
}
