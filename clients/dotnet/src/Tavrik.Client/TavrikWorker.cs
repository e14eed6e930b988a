// A worker process that a user interface starts and owns: found beside the application (or where
// the options say), started in the client's namespace, known to be serving once it answers a
// version request, and stopped when disposed.
//
// A dead UI takes its worker with it: on Windows the worker is put in a job object that kills it
// when the job's last handle (ours) closes, however our process ends; on Linux the worker is given
// TAVRIK_PARENT_PID, our process id, and stops in order within about 100 ms of our end.
//
// Threads: Start from any thread (it blocks for up to StartTimeout; StartAsync does not block the
// caller). The properties may be read from any thread; Dispose once, from any thread.
using System;
using System.Diagnostics;
using System.IO;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;

namespace Tavrik.Client
{
    /// <summary>A worker process started by this application; Dispose stops it.</summary>
    public sealed class TavrikWorker : IDisposable
    {
        // How often the start-up is looked at while the worker sets up its rings.
        static readonly TimeSpan StartPoll = TimeSpan.FromMilliseconds(20);
        static readonly TimeSpan VersionSlice = TimeSpan.FromMilliseconds(500);

        readonly Process _process;
        readonly WindowsJob _job;
        readonly TimeSpan _stopTimeout;
        int _disposed;

        TavrikWorker(Process process, WindowsJob job, string ns, string path, TimeSpan stopTimeout)
        {
            _process = process;
            _job = job;
            Namespace = ns;
            ProgramPath = path;
            _stopTimeout = stopTimeout;
        }

        /// <summary>The namespace the worker serves ("Local" on Windows).</summary>
        public string Namespace { get; private set; }

        /// <summary>The program that was started.</summary>
        public string ProgramPath { get; private set; }

        /// <summary>The worker's process id.</summary>
        public int ProcessId
        {
            get { return _process.Id; }
        }

        /// <summary>True once the worker's process has ended.</summary>
        public bool HasExited
        {
            get { return _process.HasExited; }
        }

        /// <summary>Attaches a new client to this worker.</summary>
        public TavrikClient OpenClient()
        {
            return TavrikClient.Open(Namespace);
        }

        /// <summary>
        /// Starts a worker and returns once it answered a version request.
        /// </summary>
        /// <exception cref="FileNotFoundException">No worker program was found.</exception>
        /// <exception cref="WorkerExitedException">The worker ended first; its exit code says why
        /// (3: another worker runs in the namespace).</exception>
        /// <exception cref="TimeoutException">It did not answer within StartTimeout (it is then
        /// killed).</exception>
        /// <exception cref="ArgumentException">The namespace breaks the rule.</exception>
        public static TavrikWorker Start(WorkerOptions options = null)
        {
            options = options ?? new WorkerOptions();
            bool windows = Environment.OSVersion.Platform == PlatformID.Win32NT;
            string ns = windows ? "Local"
                                : LinuxTransport.CheckNamespace(options.Namespace ?? LinuxTransport.DefaultNamespace());
            string path = FindProgram(options.Path, windows);
            var start = new ProcessStartInfo(path)
            {
                UseShellExecute = false,
                CreateNoWindow = true,
                WorkingDirectory = System.IO.Path.GetDirectoryName(path),
            };
            if (!windows)
            {
                start.EnvironmentVariables["TAVRIK_IPC_NAMESPACE"] = ns;
                start.EnvironmentVariables["TAVRIK_PARENT_PID"] =
                    Process.GetCurrentProcess().Id.ToString(System.Globalization.CultureInfo.InvariantCulture);
            }
            if (options.LogPath != null)
                start.EnvironmentVariables["TAVRIK_LOG"] = options.LogPath;
            else
                start.EnvironmentVariables.Remove("TAVRIK_LOG");

            // A worker that already serves the namespace makes ours exit with 3; its replies must
            // not pass for ours.
            bool othersRunning = IsRunning(ns, windows);
            WindowsJob job = windows ? new WindowsJob() : null;
            Process process;
            try
            {
                process = Process.Start(start);
                if (job != null)
                    job.Assign(process);
            }
            catch
            {
                if (job != null)
                    job.Dispose();
                throw;
            }
            var worker = new TavrikWorker(process, job, ns, path, options.StopTimeout);
            try
            {
                worker.AwaitVersion(options.StartTimeout, othersRunning);
                return worker;
            }
            catch
            {
                worker.Kill();
                worker.Dispose();
                throw;
            }
        }

        /// <summary>Start on the thread pool, so that a UI thread does not wait for the worker.</summary>
        public static Task<TavrikWorker> StartAsync(WorkerOptions options = null,
                                                    CancellationToken cancellationToken = default(CancellationToken))
        {
            return Task.Run(() => Start(options), cancellationToken);
        }

        static bool IsRunning(string ns, bool windows)
        {
            return windows ? WindowsTransport.IsWorkerRunning() : LinuxTransport.IsWorkerRunning(ns);
        }

        void AwaitVersion(TimeSpan timeout, bool othersRunning)
        {
            DateTime deadline = DateTime.UtcNow + timeout;
            if (othersRunning)
            {
                // Ours ends at once with 3; should the other one end first, ours serves instead.
                if (_process.WaitForExit((int)Math.Max(0, timeout.TotalMilliseconds)))
                    throw Exited();
            }
            for (;;)
            {
                if (_process.HasExited)
                    throw Exited();
                TimeSpan left = deadline - DateTime.UtcNow;
                if (left <= TimeSpan.Zero)
                    throw new TimeoutException("the worker " + ProgramPath + " did not answer a "
                                               + "version request within " + timeout.TotalSeconds + " s");
                try
                {
                    // In slices, so that a worker that ends meanwhile is noticed soon.
                    using (TavrikClient client = TavrikClient.Open(Namespace))
                    {
                        client.Version(left < VersionSlice ? left : VersionSlice);
                        return;
                    }
                }
                catch (TimeoutException)
                {
                }
                catch (TavrikException)
                {
                    // Not serving yet: the worker takes its lock first, then makes the rings.
                }
                Thread.Sleep(StartPoll);
            }
        }

        WorkerExitedException Exited()
        {
            _process.WaitForExit();
            int code = _process.ExitCode;
            return new WorkerExitedException(
                "the worker " + ProgramPath + " exited with code " + code + ": " + Meaning(code, Namespace),
                code);
        }

        /// <summary>What a worker's exit code means.</summary>
        internal static string Meaning(int code, string ns)
        {
            switch (code)
            {
                case 0:
                    return "it was asked to stop";
                case 1:
                    return "it could not start (the IPC namespace or TAVRIK_PARENT_PID is not valid, "
                           + "or its worker lock or command ring could not be made; its standard "
                           + "error and its log say which)";
                case 3:
                    return "another worker already runs in namespace '" + ns + "'";
                default:
                    if (code > 128 && code < 160)
                        return "it was ended by signal " + (code - 128);
                    return "an exit code the worker does not give (it crashed or was killed)";
            }
        }

        internal static string FindProgram(string path, bool windows)
        {
            string name = windows ? "tavrik-worker.exe" : "tavrik-worker";
            if (path != null)
            {
                if (!File.Exists(path))
                    throw new FileNotFoundException("WorkerOptions.Path names no file", path);
                return System.IO.Path.GetFullPath(path);
            }
            string home = AppDomain.CurrentDomain.BaseDirectory;
            var tried = new System.Collections.Generic.List<string>
            {
                System.IO.Path.Combine(home, name),
                System.IO.Path.Combine(home, "runtimes", RuntimeId(windows), "native", name),
            };
            if (!windows)
                foreach (string folder in (Environment.GetEnvironmentVariable("PATH") ?? "").Split(':'))
                    if (folder.Length != 0)
                        tried.Add(System.IO.Path.Combine(folder, name));
            foreach (string candidate in tried)
                if (File.Exists(candidate))
                    return candidate;
            throw new FileNotFoundException(
                "no " + name + " beside the application, under runtimes/" + RuntimeId(windows)
                    + "/native" + (windows ? "" : " or on the PATH") + "; set WorkerOptions.Path",
                name);
        }

        // The machine's, not the process's: a 32-bit application on 64-bit Windows still runs the
        // 64-bit worker.
        static string RuntimeId(bool windows)
        {
            string arch;
            switch (RuntimeInformation.OSArchitecture)
            {
                case Architecture.X86: arch = "x86"; break;
                case Architecture.Arm: arch = "arm"; break;
                case Architecture.Arm64: arch = "arm64"; break;
                default: arch = "x64"; break;
            }
            return (windows ? "win-" : "linux-") + arch;
        }

        /// <summary>
        /// Stops the worker: on Linux SIGTERM, then a kill when it has not ended within
        /// StopTimeout; on Windows it is terminated (it keeps nothing on disk). Templates are
        /// gone with it.
        /// </summary>
        public void Dispose()
        {
            if (Interlocked.Exchange(ref _disposed, 1) != 0)
                return;
            if (_job == null && !_process.HasExited)
            {
                Libc.kill(_process.Id, Libc.SIGTERM);
                if (!_process.WaitForExit((int)Math.Max(0, _stopTimeout.TotalMilliseconds)))
                    Kill();
            }
            Kill();
            _process.Dispose();
            if (_job != null)
                _job.Dispose();
        }

        void Kill()
        {
            try
            {
                if (!_process.HasExited)
                    _process.Kill();
                _process.WaitForExit();
            }
            catch (InvalidOperationException)
            {
                // It ended meanwhile.
            }
        }
    }
}
