// Test surroundings: a private IPC namespace with a real tavrik-worker in it, and a private X
// display with the demo's target window. Linux only; used from the test thread.
//
// TAVRIK_BUILD_DIR names the build tree (its bin/ holds the programs), TAVRIK_SOURCE_DIR the
// source tree; ctest sets both.
using System;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Threading;
using NUnit.Framework;

namespace Tavrik.Client.Tests
{
    internal static class Native
    {
        public const int SIGTERM = 15, SIGUSR1 = 10, SIGSTOP = 19, SIGCONT = 18;
        public const int O_CREAT = 0x40;

        [DllImport("libc", SetLastError = true)]
        public static extern int mkdir(string path, uint mode);

        // Variadic in C; with O_CREAT it reads the mode.
        [DllImport("libc", SetLastError = true)]
        public static extern int open(string path, int flags, uint mode);

        /// <summary>
        /// The file whose flock a running worker holds, spelled out as the protocol document gives
        /// it (not taken from the library under test), for a private $XDG_RUNTIME_DIR.
        /// </summary>
        public static string LockFile(string ns)
        {
            return Environment.GetEnvironmentVariable("XDG_RUNTIME_DIR") + "/" + ns
                   + "-TavrikWorkerLock";
        }

        [DllImport("libc", SetLastError = true)]
        public static extern int kill(int pid, int signal);

        [DllImport("libc", SetLastError = true)]
        public static extern int ftruncate(int fd, long length);

        [DllImport("libc", SetLastError = true)]
        public static extern int fchown(int fd, uint owner, uint group);

        // Variadic in C; with O_CREAT it reads the mode and the initial value.
        [DllImport("libc", SetLastError = true)]
        public static extern IntPtr sem_open(string name, int flags, uint mode, uint value);

        /// <summary>Creates (or opens) a shm object of ours, sized; returns its descriptor.</summary>
        public static int CreateShm(string objectName, long bytes)
        {
            int fd = Libc.shm_open(objectName, Libc.O_RDWR | O_CREAT | Libc.O_CLOEXEC, 384 /*0600*/);
            Assert.That(fd, Is.GreaterThanOrEqualTo(0), "shm_open " + objectName);
            if (bytes > 0)
                Assert.That(ftruncate(fd, bytes), Is.EqualTo(0));
            return fd;
        }
    }

    internal static class Paths
    {
        public static string BuildDir
        {
            get { return Required("TAVRIK_BUILD_DIR"); }
        }

        public static string SourceDir
        {
            get { return Required("TAVRIK_SOURCE_DIR"); }
        }

        public static string Program(string name)
        {
            return Path.Combine(BuildDir, "bin", name);
        }

        static string Required(string variable)
        {
            string value = Environment.GetEnvironmentVariable(variable);
            if (string.IsNullOrEmpty(value))
                Assert.Fail(variable + " is not set (the tests run from ctest)");
            return value;
        }
    }

    /// <summary>A unique IPC namespace and a scratch folder; removes both when disposed.</summary>
    internal class Sandbox : IDisposable
    {
        static int _counter;
        Process _worker;

        public Sandbox()
        {
            Namespace = "tavrik-cs-" + Process.GetCurrentProcess().Id + "-"
                        + Interlocked.Increment(ref _counter);
            Directory = Path.Combine(Path.GetTempPath(), Namespace);
            System.IO.Directory.CreateDirectory(Directory);
            // The private runtime directory a session gives its user, where the worker lock lives:
            // one for the whole test process, as a session has one, so that a sandbox opened inside
            // another still sees the outer one's worker.
            _previousRuntime = Environment.GetEnvironmentVariable("XDG_RUNTIME_DIR");
            Environment.SetEnvironmentVariable("XDG_RUNTIME_DIR", Runtime.Value);
        }

        static readonly Lazy<string> Runtime = new Lazy<string>(() =>
        {
            string runtime = Path.Combine(Path.GetTempPath(),
                                          "tavrik-cs-run-" + Process.GetCurrentProcess().Id);
            Assert.That(Native.mkdir(runtime, 448 /*0700*/), Is.EqualTo(0), "mkdir " + runtime);
            AppDomain.CurrentDomain.ProcessExit += (sender, e) =>
            {
                try { System.IO.Directory.Delete(runtime, true); } catch (IOException) { }
            };
            return runtime;
        });

        readonly string _previousRuntime;

        public string Namespace { get; private set; }
        public string Directory { get; private set; }

        public string ObjectName(string name)
        {
            return "/" + Namespace + "-" + name;
        }

        public int WorkerPid
        {
            get { return _worker.Id; }
        }

        /// <summary>
        /// Starts tavrik-worker in the namespace and waits until it has started up. When the
        /// worker holds no liveness lock of its own, the test holds one for it, so that the
        /// client sees a live worker.
        /// </summary>
        public void StartWorker(string display = null)
        {
            string log = Path.Combine(Directory, "worker.log");
            var start = new ProcessStartInfo(Paths.Program("tavrik-worker"))
            {
                UseShellExecute = false,
            };
            start.EnvironmentVariables["TAVRIK_IPC_NAMESPACE"] = Namespace;
            start.EnvironmentVariables["TAVRIK_LOG"] = log;
            if (display != null)
                start.EnvironmentVariables["DISPLAY"] = display;
            else
                start.EnvironmentVariables.Remove("DISPLAY");
            _worker = Process.Start(start);
            WaitUntil(() => File.Exists(log)
                          && File.ReadAllText(log).Contains("Tavrik waiting for spec registrations"),
                      "the worker's start-up");
            // The worker holds its lock exactly as the protocol document describes it.
            int probe = Native.open(Native.LockFile(Namespace), Libc.O_RDONLY, 0);
            try
            {
                Assert.That(probe, Is.GreaterThanOrEqualTo(0), "the worker made no lock file");
                Assert.That(Libc.flock(probe, Libc.LOCK_SH | Libc.LOCK_NB), Is.EqualTo(-1),
                            "the worker does not hold its lock");
            }
            finally
            {
                Libc.close(probe);
            }
        }

        /// <summary>Holds the namespace's liveness lock, as a worker does; close to let go.</summary>
        public static int HoldLock(string ns)
        {
            int fd = Native.open(Native.LockFile(ns), Libc.O_RDONLY | Native.O_CREAT, 384 /*0600*/);
            Assert.That(fd, Is.GreaterThanOrEqualTo(0), "open");
            Assert.That(Libc.flock(fd, Libc.LOCK_EX), Is.EqualTo(0), "flock");
            return fd;
        }

        /// <summary>
        /// As root: a process of uid 65534 that holds what another local user can take of the
        /// worker lock's names: the abstract socket name "(namespace)-TavrikWorkerLock", and a
        /// flocked file of its own at /dev/shm/(namespace)-TavrikWorkerLock. Kill it when done.
        /// </summary>
        public static Process StartSquatter(string ns)
        {
            const string Script =
                "import fcntl, os, socket, sys, time\n"
                + "name = sys.argv[1] + '-TavrikWorkerLock'\n"
                + "os.setgid(65534); os.setuid(65534)\n"
                + "held = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)\n"
                + "held.bind(b'\\0' + name.encode())\n"
                + "fd = os.open('/dev/shm/' + name, os.O_RDONLY | os.O_CREAT, 0o644)\n"
                + "fcntl.flock(fd, fcntl.LOCK_EX)\n"
                + "print('ready', flush=True)\n"
                + "time.sleep(600)\n";
            var start = new ProcessStartInfo("python3", "- " + ns)
            {
                UseShellExecute = false,
                RedirectStandardInput = true,
                RedirectStandardOutput = true,
            };
            Process squatter = Process.Start(start);
            squatter.StandardInput.Write(Script);
            squatter.StandardInput.Close();
            Assert.That(squatter.StandardOutput.ReadLine(), Is.EqualTo("ready"),
                        "the squatter could not set up");
            return squatter;
        }

        /// <summary>Removes every object of the namespace from /dev/shm, as a clean-up script might.</summary>
        public void UnlinkObjects()
        {
            foreach (string pattern in new[] { Namespace + "-*", "sem." + Namespace + "-*" })
                foreach (string file in System.IO.Directory.GetFiles("/dev/shm", pattern))
                    File.Delete(file);
        }

        /// <summary>Kills the worker outright and waits for it.</summary>
        public void KillWorker()
        {
            _worker.Kill();
            _worker.WaitForExit(5000);
        }

        /// <summary>Stops the worker (SIGSTOP) and returns once every thread of it has stopped.</summary>
        public void Freeze()
        {
            Assert.That(Native.kill(_worker.Id, Native.SIGSTOP), Is.EqualTo(0));
            string tasks = "/proc/" + _worker.Id + "/task";
            // The third field of a thread's stat line is its state; 'T' is stopped.
            WaitUntil(() => System.IO.Directory.GetDirectories(tasks).All(
                          task => File.ReadAllText(task + "/stat").Split(')')[1].Trim()[0] == 'T'),
                      "the worker to stop");
        }

        public void Thaw()
        {
            Assert.That(Native.kill(_worker.Id, Native.SIGCONT), Is.EqualTo(0));
        }

        public TavrikClient Open()
        {
            return TavrikClient.Open(Namespace);
        }

        public static void WaitUntil(Func<bool> condition, string what, int seconds = 10)
        {
            DateTime deadline = DateTime.UtcNow.AddSeconds(seconds);
            while (!condition())
            {
                if (DateTime.UtcNow > deadline)
                    Assert.Fail("gave up waiting for " + what);
                Thread.Sleep(10);
            }
        }

        public virtual void Dispose()
        {
            if (_worker != null)
            {
                Native.kill(_worker.Id, Native.SIGCONT);
                Native.kill(_worker.Id, Native.SIGTERM);
                _worker.WaitForExit(5000);
                _worker.Dispose();
                _worker = null;
            }
            foreach (string pattern in new[] { Namespace + "-*", "sem." + Namespace + "-*" })
                foreach (string file in System.IO.Directory.GetFiles("/dev/shm", pattern))
                    File.Delete(file);
            System.IO.Directory.Delete(Directory, true);
            File.Delete(Path.Combine(Runtime.Value, Namespace + "-TavrikWorkerLock"));
            Environment.SetEnvironmentVariable("XDG_RUNTIME_DIR", _previousRuntime);
        }
    }

    /// <summary>
    /// A private Xvfb with the demo's target window held still at (120, 90), and the demo's
    /// template images (badge.png, ring.png) in a scratch folder.
    /// </summary>
    internal sealed class DemoDesktop : IDisposable
    {
        Process _xvfb;
        Process _demo;

        public DemoDesktop()
        {
            Templates = Path.Combine(Path.GetTempPath(), "tavrik-cs-demo-" + Process.GetCurrentProcess().Id);
            System.IO.Directory.CreateDirectory(Templates);
            _xvfb = Start("Xvfb", "-displayfd 1 -screen 0 1280x1024x24 -nolisten tcp -noreset", null);
            Display = ":" + _xvfb.StandardOutput.ReadLine().Trim();
            Run(Paths.Program("tavrik-demo"), "--write-templates " + Templates);
            _demo = Start(Paths.Program("tavrik-demo"), "--x 120 --y 90 --toggle-ms 0", Display);
            Assert.That(_demo.StandardOutput.ReadLine(), Is.EqualTo("ready"));
        }

        public string Display { get; private set; }
        public string Templates { get; private set; }

        public string Badge
        {
            get { return Path.Combine(Templates, "badge.png"); }
        }

        /// <summary>
        /// Swaps the demo's badge for another one (or back); returns once the new content is on the
        /// screen.
        /// </summary>
        public void ShowBadge(bool shown)
        {
            Assert.That(Native.kill(_demo.Id, Native.SIGUSR1), Is.EqualTo(0));
            Assert.That(_demo.StandardOutput.ReadLine(), Is.EqualTo(shown ? "shown" : "swapped"));
        }

        static Process Start(string program, string arguments, string display)
        {
            var start = new ProcessStartInfo(program, arguments)
            {
                UseShellExecute = false,
                RedirectStandardOutput = true,
                RedirectStandardError = true,  // Xvfb's notes on displays in use
            };
            if (display != null)
                start.EnvironmentVariables["DISPLAY"] = display;
            Process process = Process.Start(start);
            process.ErrorDataReceived += (sender, line) => {};
            process.BeginErrorReadLine();
            return process;
        }

        static void Run(string program, string arguments)
        {
            using (Process process = Process.Start(new ProcessStartInfo(program, arguments)
                                                   { UseShellExecute = false }))
            {
                process.WaitForExit();
                Assert.That(process.ExitCode, Is.EqualTo(0), program + " " + arguments);
            }
        }

        public void Dispose()
        {
            foreach (Process process in new[] { _demo, _xvfb })
            {
                if (process == null)
                    continue;
                Native.kill(process.Id, Native.SIGTERM);
                process.WaitForExit(5000);
                process.Dispose();
            }
            System.IO.Directory.Delete(Templates, true);
        }
    }
}
