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
        public const int AF_UNIX = 1, SOCK_DGRAM = 2;

        [DllImport("libc", SetLastError = true)]
        public static extern int socket(int domain, int type, int protocol);

        [DllImport("libc", SetLastError = true)]
        public static extern int bind(int fd, byte[] address, uint length);

        [DllImport("libc", SetLastError = true)]
        public static extern int connect(int fd, byte[] address, uint length);

        /// <summary>
        /// The abstract socket address a running worker holds, spelled out as the protocol document
        /// gives it (not taken from the library under test): sun_family, a NUL, the name.
        /// </summary>
        public static byte[] LivenessAddress(string ns)
        {
            byte[] name = System.Text.Encoding.ASCII.GetBytes(ns + "-TavrikWorkerLock");
            var address = new byte[3 + name.Length];
            address[0] = AF_UNIX;
            Array.Copy(name, 0, address, 3, name.Length);
            return address;
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
        }

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
            // The worker holds its liveness address exactly as the protocol document describes it.
            int probe = Native.socket(Native.AF_UNIX, Native.SOCK_DGRAM, 0);
            try
            {
                byte[] address = Native.LivenessAddress(Namespace);
                Assert.That(Native.connect(probe, address, (uint)address.Length), Is.EqualTo(0),
                            "the worker does not hold its liveness address");
            }
            finally
            {
                Libc.close(probe);
            }
        }

        /// <summary>Binds the liveness address of the namespace, as a worker does; close to let go.</summary>
        public static int HoldLock(string ns)
        {
            int fd = Native.socket(Native.AF_UNIX, Native.SOCK_DGRAM, 0);
            byte[] address = Native.LivenessAddress(ns);
            Assert.That(Native.bind(fd, address, (uint)address.Length), Is.EqualTo(0), "bind");
            return fd;
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
