// How TavrikWorker.Start finds, starts and stops a worker. Plain data, read once by Start.
//
// Threads: like any mutable object, one thread at a time.
using System;

namespace Tavrik.Client
{
    /// <summary>How <see cref="TavrikWorker.Start"/> starts a worker.</summary>
    public sealed class WorkerOptions
    {
        /// <summary>
        /// The worker's IPC namespace on Linux; null for the client's default
        /// ($TAVRIK_IPC_NAMESPACE, else "tavrik-(uid)"). Ignored on Windows, where the worker's
        /// objects are always in the session namespace.
        /// </summary>
        public string Namespace { get; set; }

        /// <summary>
        /// The worker program. Null to look for it beside the application, then under
        /// runtimes/(rid)/native in the application's folder, then (Linux) on the PATH.
        /// </summary>
        public string Path { get; set; }

        /// <summary>How long to wait for the worker's version reply; 10 s by default.</summary>
        public TimeSpan StartTimeout { get; set; } = TimeSpan.FromSeconds(10);

        /// <summary>
        /// Linux: how long Dispose waits after SIGTERM before it kills the worker; 5 s by default.
        /// </summary>
        public TimeSpan StopTimeout { get; set; } = TimeSpan.FromSeconds(5);

        /// <summary>
        /// The worker's log (TAVRIK_LOG): a file it appends to, or "stderr". Null for none; a
        /// worker that fails to start still writes its reason to the standard error.
        /// </summary>
        public string LogPath { get; set; }
    }
}
