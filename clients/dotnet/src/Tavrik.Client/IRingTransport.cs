// What the ring logic needs from the operating system, so that one protocol implementation runs
// over Windows kernel objects and over POSIX shared memory and semaphores alike.
//
// Threads: CommandRing and HitRing may be read from any thread; SignalCommand and WaitHit from any
// thread; a producer lock is acquired and released on one thread (the Windows mutex is owned by a
// thread). Dispose once, after every other call has returned.
using System;

namespace Tavrik.Client
{
    internal interface IRingTransport : IDisposable
    {
        /// <summary>The mapped command ring, RingGeometry.CommandRingBytes long.</summary>
        IntPtr CommandRing { get; }

        /// <summary>The mapped hit ring, RingGeometry.HitRingBytes long.</summary>
        IntPtr HitRing { get; }

        /// <summary>Sets the command ring's event. Never blocks.</summary>
        void SignalCommand();

        /// <summary>
        /// Waits until the hit ring's event is set or the timeout passes; a set event is consumed.
        /// </summary>
        void WaitHit(TimeSpan timeout);

        /// <summary>
        /// Takes the lock that producers of this machine share, waiting at most
        /// <paramref name="timeout"/>. Null when another producer held it all that time. Dispose
        /// the result on the same thread to release it.
        /// </summary>
        IDisposable AcquireProducerLock(TimeSpan timeout);

        /// <summary>True while a worker holds the liveness lock of these rings.</summary>
        bool IsWorkerAlive();
    }
}
