// Both ends of the rings that a client owns: the producer end of the command ring and the
// consumer end of the hit ring, over whatever memory a transport mapped.
//
// The indexes are free-running 32-bit counters; message n lives in slot n & 63, so unsigned
// differences stay right across the wrap. Index loads are acquire loads (Volatile.Read) and index
// stores are release stores (Volatile.Write); each names its partner on the worker's side.
//
// Threads: CommandRingWriter.Publish may be called from any thread (it serialises callers).
// HitRingReader's take-and-release pair belongs to the one reading thread; peeking and the header
// properties are safe from any thread.
using System;
using System.Threading;

namespace Tavrik.Client
{
    internal sealed unsafe class CommandRingWriter
    {
        readonly IRingTransport _transport;
        readonly byte* _ring;
        // flock and the Windows mutex serialise processes; this serialises our own threads (all of
        // them share one flock).
        readonly object _publishGate = new object();

        public CommandRingWriter(IRingTransport transport)
        {
            _transport = transport;
            _ring = (byte*)transport.CommandRing;
        }

        uint* WriteIndex
        {
            get { return (uint*)(_ring + RingGeometry.WriteIndexOffset); }
        }

        uint* ReadIndex
        {
            get { return (uint*)(_ring + RingGeometry.ReadIndexOffset); }
        }

        /// <summary>Commands written and not yet taken by the worker.</summary>
        public uint Pending
        {
            get { return unchecked(Volatile.Read(ref *WriteIndex) - Volatile.Read(ref *ReadIndex)); }
        }

        /// <summary>
        /// Publishes one slot as a well-behaved producer: holding the producer lock, never more than
        /// 64 slots ahead of the worker, slot before index, index before signal. Throws
        /// TimeoutException when the lock or a free slot did not come within the timeout, and
        /// ObjectDisposedException when <paramref name="closing"/> fires while it waits for a
        /// free slot, OperationCanceledException when <paramref name="cancellation"/> does.
        /// </summary>
        public void Publish(CommandSlot slot, TimeSpan timeout, CancellationToken closing,
                            CancellationToken cancellation = default(CancellationToken))
        {
            DateTime deadline = DateTime.UtcNow + timeout;
            if (!Monitor.TryEnter(_publishGate, timeout))
                throw new TimeoutException("another thread of this process kept publishing for "
                                           + Seconds(timeout));
            try
            {
                using (IDisposable held = _transport.AcquireProducerLock(Left(deadline)))
                {
                    if (held == null)
                        throw new TimeoutException(
                            "another producer (tavrik-ctl, another client) held the command ring's "
                            + "producer lock for " + Seconds(timeout));
                    // The worker frees slots without telling anyone, so room is polled, quickly at
                    // first.
                    int pauseMs = 1;
                    for (;;)
                    {
                        // Only producers store writeIndex, and we hold their lock.
                        uint w = Volatile.Read(ref *WriteIndex);
                        // Acquire: pairs with the worker's release store of readIndex; a slot it
                        // has released is no longer being copied.
                        uint r = Volatile.Read(ref *ReadIndex);
                        if (unchecked(w - r) < RingGeometry.SlotCount)
                        {
                            byte* target = _ring + RingGeometry.HeaderBytes
                                           + (w & RingGeometry.SlotMask) * RingGeometry.CommandSlotBytes;
                            *(CommandSlot*)target = slot;
                            // Release: pairs with the worker's acquire load of writeIndex; the slot
                            // is complete before the index says so.
                            Volatile.Write(ref *WriteIndex, unchecked(w + 1));
                            _transport.SignalCommand();
                            return;
                        }
                        if (closing.IsCancellationRequested)
                            throw new ObjectDisposedException("TavrikClient");
                        cancellation.ThrowIfCancellationRequested();
                        TimeSpan left = Left(deadline);
                        if (left <= TimeSpan.Zero)
                            throw new TimeoutException(
                                "64 commands are pending and the worker took none of them within "
                                + Seconds(timeout) + "; it is stopped or hung");
                        Thread.Sleep(Math.Min(pauseMs, (int)Math.Ceiling(left.TotalMilliseconds)));
                        pauseMs = Math.Min(pauseMs * 2, 20);
                    }
                }
            }
            finally
            {
                Monitor.Exit(_publishGate);
            }
        }

        static TimeSpan Left(DateTime deadline)
        {
            TimeSpan left = deadline - DateTime.UtcNow;
            return left > TimeSpan.Zero ? left : TimeSpan.Zero;
        }

        static string Seconds(TimeSpan timeout)
        {
            return timeout.TotalSeconds.ToString("0.###", System.Globalization.CultureInfo.InvariantCulture)
                   + " s";
        }
    }

    internal sealed unsafe class HitRingReader
    {
        readonly byte* _ring;

        public HitRingReader(IntPtr ring)
        {
            _ring = (byte*)ring;
        }

        uint* Field(int offset)
        {
            return (uint*)(_ring + offset);
        }

        HitSlot* Slot(uint index)
        {
            return (HitSlot*)(_ring + RingGeometry.HeaderBytes
                              + (index & RingGeometry.SlotMask) * RingGeometry.HitSlotBytes);
        }

        /// <summary>Acquire: pairs with the worker's release store of writeIndex in its publish.</summary>
        public uint WriteIndex
        {
            get { return Volatile.Read(ref *Field(RingGeometry.WriteIndexOffset)); }
        }

        public uint ReadIndex
        {
            get { return Volatile.Read(ref *Field(RingGeometry.ReadIndexOffset)); }
        }

        public uint Dropped
        {
            get { return Volatile.Read(ref *Field(RingGeometry.DroppedCountOffset)); }
        }

        public uint Pending
        {
            get { return unchecked(WriteIndex - ReadIndex); }
        }

        /// <summary>
        /// Copies the oldest pending message without releasing it; false when none is pending.
        /// Indexes that claim more than 64 pending messages (a reader ran ahead) make the worker
        /// drop everything, and the slots are not trustworthy: they are skipped to writeIndex.
        /// </summary>
        public bool TryCopyOldest(out HitSlot slot, out uint index)
        {
            uint w = WriteIndex;
            uint r = ReadIndex;
            slot = default(HitSlot);
            index = r;
            if (w == r)
                return false;
            if (unchecked(w - r) > RingGeometry.SlotCount)
            {
                Volatile.Write(ref *Field(RingGeometry.ReadIndexOffset), w);
                return false;
            }
            slot = *Slot(r);
            return true;
        }

        /// <summary>Gives message <paramref name="index"/> back to the worker.</summary>
        public void Release(uint index)
        {
            // Release: pairs with the worker's acquire load of readIndex; the copy is complete
            // before the slot may be reused.
            Volatile.Write(ref *Field(RingGeometry.ReadIndexOffset), unchecked(index + 1));
        }

        public enum PeekResult
        {
            Copied,
            NotYetWritten,
            Consumed,  // a reader took it; its slot may already hold a newer message
        }

        /// <summary>Copies message <paramref name="index"/> without consuming it.</summary>
        public PeekResult Peek(uint index, out HitSlot slot)
        {
            slot = default(HitSlot);
            // Indexes wrap: "before" means less than half the counter range behind.
            if (unchecked((int)(index - WriteIndex)) >= 0)
                return PeekResult.NotYetWritten;
            if (unchecked((int)(index - ReadIndex)) < 0)
                return PeekResult.Consumed;
            slot = *Slot(index);
            // The slot is reused only once the reader has passed it; re-read readIndex after the
            // copy (the barrier keeps the copy's loads before that read).
            Thread.MemoryBarrier();
            if (unchecked((int)(index - ReadIndex)) < 0)
                return PeekResult.Consumed;
            return PeekResult.Copied;
        }
    }
}
