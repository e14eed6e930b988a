// The errors of the client library. Bad arguments raise ArgumentException (or one of its
// subclasses), a wait that ran out raises System.TimeoutException, an enumeration that was
// cancelled raises OperationCanceledException; everything that concerns the worker and its rings
// is one of these.
using System;

namespace Tavrik.Client
{
    /// <summary>The worker's rings cannot be used: they are missing, foreign or damaged.</summary>
    public class TavrikException : Exception
    {
        public TavrikException(string message) : base(message) {}
        public TavrikException(string message, Exception inner) : base(message, inner) {}
    }

    /// <summary>
    /// No worker serves the namespace: its rings do not exist, or they were left behind by a
    /// worker that has stopped. Start tavrik-worker (on Linux with a desktop session:
    /// <c>systemctl --user start tavrik-worker</c>) and open again.
    /// </summary>
    public class WorkerNotRunningException : TavrikException
    {
        public WorkerNotRunningException(string message) : base(message) {}
    }

    /// <summary>
    /// No reply came, and meanwhile the worker dropped messages because 64 were waiting unread:
    /// the reply may have been one of them. Read the ring with <see cref="TavrikClient.ReadHits"/>;
    /// the client is the hit ring's reader.
    /// </summary>
    public class HitRingFullException : TavrikException
    {
        public HitRingFullException(string message) : base(message) {}
    }
}
