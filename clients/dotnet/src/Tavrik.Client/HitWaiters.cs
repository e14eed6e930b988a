// Waiting for the hit ring within one client: the reading thread (ReadHits) and the threads that
// wait for a reply (Heartbeat, Version) share one auto-reset event.
//
// An auto-reset event wakes one waiter, so two threads of ours waiting on it would take each
// other's wakes. Here one thread at a time (the leader) waits on the event; the others wait on a
// monitor that the leader pulses whenever it wakes. Replies are also handed over directly: the
// reader offers every message it takes to the threads expecting a reply before it releases the
// slot, so a reply is never lost between a peek and a take.
//
// Threads: every method may be called from any thread.
using System;
using System.Collections.Generic;
using System.Threading;

namespace Tavrik.Client
{
    internal sealed class ReplyWaiter
    {
        public readonly string Prefix;
        public readonly bool Exact;
        /// <summary>The first hit-ring index that may hold the reply.</summary>
        public readonly uint From;
        public HitMessage Reply;  // guarded by the HitWaiters' gate

        public ReplyWaiter(string prefix, bool exact, uint from)
        {
            Prefix = prefix;
            Exact = exact;
            From = from;
        }

        public bool Matches(string name)
        {
            return Exact ? name == Prefix : name.StartsWith(Prefix, StringComparison.Ordinal);
        }
    }

    internal sealed class HitWaiters
    {
        readonly object _gate = new object();
        readonly IRingTransport _transport;
        readonly List<ReplyWaiter> _expected = new List<ReplyWaiter>();
        bool _leading;
        long _wakes;

        public HitWaiters(IRingTransport transport)
        {
            _transport = transport;
        }

        public ReplyWaiter Expect(string prefix, bool exact, uint from)
        {
            var waiter = new ReplyWaiter(prefix, exact, from);
            lock (_gate)
                _expected.Add(waiter);
            return waiter;
        }

        public void Forget(ReplyWaiter waiter)
        {
            lock (_gate)
                _expected.Remove(waiter);
        }

        public HitMessage ReplyOf(ReplyWaiter waiter)
        {
            lock (_gate)
                return waiter.Reply;
        }

        /// <summary>The reader hands over message <paramref name="index"/> before releasing it.</summary>
        public void Offer(uint index, HitMessage message)
        {
            lock (_gate)
            {
                bool any = false;
                foreach (ReplyWaiter waiter in _expected)
                {
                    if (waiter.Reply == null && unchecked((int)(index - waiter.From)) >= 0
                        && waiter.Matches(message.Name))
                    {
                        waiter.Reply = message;
                        any = true;
                    }
                }
                if (any)
                    Monitor.PulseAll(_gate);
            }
        }

        /// <summary>
        /// Returns once <paramref name="ready"/> may have become true: the event was set, another
        /// waiter of ours saw it set, a reply was offered, or the timeout passed. Callers re-check
        /// and wait again.
        /// </summary>
        public void Wait(Func<bool> ready, TimeSpan timeout)
        {
            lock (_gate)
            {
                if (ready())
                    return;
                if (_leading)
                {
                    long wakes = _wakes;
                    DateTime deadline = DateTime.UtcNow + timeout;
                    while (_wakes == wakes && !ready())
                    {
                        TimeSpan left = deadline - DateTime.UtcNow;
                        if (left <= TimeSpan.Zero || !Monitor.Wait(_gate, left))
                            return;
                    }
                    return;
                }
                _leading = true;
            }
            try
            {
                // Checked again as leader: a wake consumed by the previous leader is not repeated,
                // and whatever it announced is visible now.
                if (!ready())
                    _transport.WaitHit(timeout);
            }
            finally
            {
                lock (_gate)
                {
                    _leading = false;
                    ++_wakes;
                    Monitor.PulseAll(_gate);
                }
            }
        }
    }
}
