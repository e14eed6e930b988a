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
        /// <summary>An error with that message.</summary>
        public TavrikException(string message) : base(message) {}
        /// <summary>An error with that message, caused by <paramref name="inner"/>.</summary>
        public TavrikException(string message, Exception inner) : base(message, inner) {}
    }

    /// <summary>
    /// No worker serves the namespace: its rings do not exist, or they were left behind by a
    /// worker that has stopped. Start tavrik-worker (on Linux with a desktop session:
    /// <c>systemctl --user start tavrik-worker</c>) and open again.
    /// </summary>
    public class WorkerNotRunningException : TavrikException
    {
        /// <summary>An error with that message.</summary>
        public WorkerNotRunningException(string message) : base(message) {}
    }

    /// <summary>
    /// No reply came, and meanwhile the worker dropped messages because 64 were waiting unread:
    /// the reply may have been one of them. Read the ring with <see cref="TavrikClient.ReadHits"/>;
    /// the client is the hit ring's reader.
    /// </summary>
    public class HitRingFullException : TavrikException
    {
        /// <summary>An error with that message.</summary>
        public HitRingFullException(string message) : base(message) {}
    }

    /// <summary>
    /// A worker that <see cref="TavrikWorker.Start"/> started ended before it answered. The
    /// message says what <see cref="ExitCode"/> means; 3 means that another worker already runs
    /// in the namespace.
    /// </summary>
    public class WorkerExitedException : TavrikException
    {
        /// <summary>An error with that message, for a worker that ended with that code.</summary>
        public WorkerExitedException(string message, int exitCode) : base(message)
        {
            ExitCode = exitCode;
        }

        /// <summary>The worker's exit code: 1 it could not start, 3 another worker runs.</summary>
        public int ExitCode { get; private set; }

        /// <summary>True when the worker ended because another one already runs there.</summary>
        public bool AnotherWorkerRunning
        {
            get { return ExitCode == 3; }
        }
    }
}
