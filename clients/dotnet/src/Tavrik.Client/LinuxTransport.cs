// The rings on Linux: POSIX shared memory, named semaphores standing in for the auto-reset events,
// flock for the producer lock, and flock on a private file for the worker's liveness.
//
// Every object is "/<namespace>-<name>"; the worker creates them (mode 0600) and this transport
// only opens them, refusing objects of another user. A semaphore acts as an auto-reset event: it
// is posted only when its value is 0, and a wait consumes it. A running worker holds an exclusive
// flock on "<namespace>-TavrikWorkerLock" in $XDG_RUNTIME_DIR (when that is a directory of ours
// that no one else may write), else in /dev/shm; the kernel drops it when the worker dies. Asking
// opens the file without creating it and tries a shared lock without waiting, let go at once. A
// file of another user can only have been planted, and is refused.
//
// Threads: see IRingTransport.
using System;
using System.Threading;

namespace Tavrik.Client
{
    internal sealed class LinuxTransport : IRingTransport
    {
        // glibc keeps shm objects and semaphores as files in /dev/shm; a semaphore's file gets this
        // prefix, so a name must leave room for it within NAME_MAX (255).
        const string SemaphoreFilePrefix = "/dev/shm/sem.";
        // Every name derived from a namespace stays a plain file name.
        const int MaxNamespaceChars = 64;
        const string NamespaceRule = "1 to 64 ASCII letters, digits, '.', '_' or '-', not starting "
                                     + "with '.'";

        readonly string _namespace;
        int _commandFd = -1;
        IntPtr _commandView = IntPtr.Zero;
        int _hitFd = -1;
        IntPtr _hitView = IntPtr.Zero;
        IntPtr _commandEvent = IntPtr.Zero;
        IntPtr _hitEvent = IntPtr.Zero;

        LinuxTransport(string ns)
        {
            _namespace = CheckNamespace(ns);
        }

        public IntPtr CommandRing
        {
            get { return _commandView; }
        }

        public IntPtr HitRing
        {
            get { return _hitView; }
        }

        /// <summary>
        /// $TAVRIK_IPC_NAMESPACE when set and not empty, else "tavrik-(real uid)"; an
        /// ArgumentException when the variable breaks the namespace rule.
        /// </summary>
        public static string DefaultNamespace()
        {
            string fromEnvironment = Environment.GetEnvironmentVariable("TAVRIK_IPC_NAMESPACE");
            if (!string.IsNullOrEmpty(fromEnvironment))
                return CheckNamespace(fromEnvironment, "TAVRIK_IPC_NAMESPACE");
            return "tavrik-" + Libc.getuid();
        }

        /// <summary>The namespace itself, or an ArgumentException when it breaks the rule.</summary>
        public static string CheckNamespace(string ns, string source = "the namespace")
        {
            bool valid = ns.Length >= 1 && ns.Length <= MaxNamespaceChars && ns[0] != '.';
            foreach (char c in ns)
                valid &= (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                         || c == '.' || c == '_' || c == '-';
            if (!valid)
                throw new ArgumentException(
                    source + " \"" + Escaped(ns) + "\" is not a valid IPC namespace: it must be "
                        + NamespaceRule,
                    "namespace");
            return ns;
        }

        // Control characters shown as \uXXXX, so that the message stays on one line.
        static string Escaped(string text)
        {
            var escaped = new System.Text.StringBuilder();
            foreach (char c in text)
                escaped.Append(c < ' ' || c == '\x7f' ? "\\u" + ((int)c).ToString("X4") : c.ToString());
            return escaped.ToString();
        }

        /// <summary>"/(namespace)-(name)", or an ArgumentException when the namespace breaks the rule.</summary>
        public static string ObjectName(string ns, string name)
        {
            return "/" + CheckNamespace(ns) + "-" + name;
        }

        /// <summary>
        /// The file whose flock a running worker holds for its whole life:
        /// "(namespace)-TavrikWorkerLock" in $XDG_RUNTIME_DIR when that is a directory of ours that
        /// nobody else may write, else in /dev/shm.
        /// </summary>
        internal static string LockPath(string ns)
        {
            string runtime = Environment.GetEnvironmentVariable("XDG_RUNTIME_DIR");
            string directory = IsPrivateDirectory(runtime) ? runtime.TrimEnd('/') : "/dev/shm";
            return directory + "/" + CheckNamespace(ns) + "-TavrikWorkerLock";
        }

        // Only a directory that no other user can place a file in keeps the lock out of their
        // reach.
        static unsafe bool IsPrivateDirectory(string path)
        {
            if (string.IsNullOrEmpty(path) || path[0] != '/')
                return false;
            byte* buffer = stackalloc byte[Libc.StatxBytes];
            if (Libc.statx(Libc.AT_FDCWD, path, 0, Libc.STATX_BASIC_STATS, buffer) != 0)
                return false;
            uint owner = *(uint*)(buffer + Libc.StatxUidOffset);
            ushort mode = *(ushort*)(buffer + Libc.StatxModeOffset);
            const int FileTypeMask = 0xF000, Directory = 0x4000;
            const int WritableByOthers = 0x12;  // S_IWGRP | S_IWOTH
            return (mode & FileTypeMask) == Directory && owner == Libc.geteuid()
                   && (mode & WritableByOthers) == 0;
        }

        /// <summary>True while a worker runs in the namespace.</summary>
        internal static bool IsWorkerRunning(string ns)
        {
            string path = LockPath(ns);
            int fd = Libc.open(path, Libc.O_RDONLY | Libc.O_CLOEXEC | Libc.O_NOFOLLOW);
            if (fd < 0)
            {
                int openError = Libc.LastError;
                if (openError == Libc.ENOENT)
                    return false;
                if (openError == Libc.EACCES || openError == Libc.ELOOP)
                    throw new TavrikException(path + " belongs to another user; "
                                              + "no worker of ours uses it");
                throw new TavrikException("cannot tell whether a worker runs: "
                                          + Libc.Describe(openError));
            }
            try
            {
                CheckOwned(fd, null, path);
                // Closing the descriptor lets the shared lock go.
                if (Libc.flock(fd, Libc.LOCK_SH | Libc.LOCK_NB) == 0)
                    return false;
                int errno = Libc.LastError;
                if (errno == Libc.EAGAIN)
                    return true;
                throw new TavrikException("cannot tell whether a worker runs: " + Libc.Describe(errno));
            }
            finally
            {
                Libc.close(fd);
            }
        }

        public static LinuxTransport Open(string ns)
        {
            if (IntPtr.Size != 8)
                throw new PlatformNotSupportedException(
                    "the Linux transport needs a 64-bit process");
            var transport = new LinuxTransport(ns);
            try
            {
                transport.OpenAll();
                return transport;
            }
            catch
            {
                transport.Dispose();
                throw;
            }
        }

        void OpenAll()
        {
            // Rings outlive their worker on purpose: only the liveness test tells whether anyone
            // will read what is published.
            if (!IsWorkerAlive())
                throw new WorkerNotRunningException(
                    "no Tavrik worker is running in namespace '" + _namespace + "'; start "
                        + "tavrik-worker, or systemctl --user start tavrik-worker");
            _commandFd = OpenRing("CmdRingMMF", RingGeometry.CommandRingBytes, out _commandView);
            _hitFd = OpenRing("HitRingMMF", RingGeometry.HitRingBytes, out _hitView);
            _commandEvent = OpenEvent("CmdRingEvent");
            _hitEvent = OpenEvent("HitRingEvent");
        }

        int OpenRing(string name, int bytes, out IntPtr view)
        {
            view = IntPtr.Zero;
            string objectName = ObjectName(_namespace, name);
            int fd = Libc.shm_open(objectName, Libc.O_RDWR | Libc.O_CLOEXEC, 0);
            if (fd < 0)
                throw OpenFailure(objectName, Libc.LastError);
            try
            {
                long size = CheckOwned(fd, null, objectName);
                if (size < bytes)
                    throw new TavrikException(
                        objectName + " is " + size + " bytes, smaller than the ring's " + bytes
                            + "; it was not made by a Tavrik worker");
                IntPtr mapped = Libc.mmap(IntPtr.Zero, new UIntPtr((uint)bytes),
                                          Libc.PROT_READ | Libc.PROT_WRITE, Libc.MAP_SHARED, fd,
                                          IntPtr.Zero);
                if (mapped == Libc.MapFailed)
                    throw new TavrikException("cannot map " + objectName + ": "
                                              + Libc.Describe(Libc.LastError));
                view = mapped;
                return fd;
            }
            catch
            {
                Libc.close(fd);
                throw;
            }
        }

        IntPtr OpenEvent(string name)
        {
            string objectName = ObjectName(_namespace, name);
            IntPtr semaphore = Libc.sem_open(objectName, 0);
            if (semaphore == IntPtr.Zero)
                throw OpenFailure(objectName, Libc.LastError);
            try
            {
                CheckOwned(Libc.AT_FDCWD, SemaphoreFilePrefix + objectName.Substring(1), objectName);
            }
            catch
            {
                Libc.sem_close(semaphore);
                throw;
            }
            return semaphore;
        }

        Exception OpenFailure(string objectName, int errno)
        {
            // Only asked once the worker was found running: the object was removed under it.
            if (errno == Libc.ENOENT)
                return new TavrikException(
                    "a worker is running in namespace '" + _namespace + "', but " + objectName
                        + " does not exist (removed under it); restart the worker to make it again");
            if (errno == Libc.EACCES)
                return new TavrikException(objectName + " belongs to another user");
            return new TavrikException("cannot open " + objectName + ": " + Libc.Describe(errno));
        }

        // Returns the object's size. A worker of this user made it 0600; an object of another user
        // could feed our commands to a stranger, so it is refused.
        static unsafe long CheckOwned(int fd, string path, string objectName)
        {
            byte* buffer = stackalloc byte[Libc.StatxBytes];
            int result = path == null
                ? Libc.statx(fd, "", Libc.AT_EMPTY_PATH, Libc.STATX_BASIC_STATS, buffer)
                : Libc.statx(fd, path, 0, Libc.STATX_BASIC_STATS, buffer);
            if (result != 0)
                throw new TavrikException("cannot inspect " + objectName + ": "
                                          + Libc.Describe(Libc.LastError));
            uint owner = *(uint*)(buffer + Libc.StatxUidOffset);
            ushort mode = *(ushort*)(buffer + Libc.StatxModeOffset);
            const int FileTypeMask = 0xF000, RegularFile = 0x8000;
            if ((mode & FileTypeMask) != RegularFile || owner != Libc.geteuid())
                throw new TavrikException(objectName + " belongs to another user (uid " + owner
                                          + "); refusing to use it");
            return (long)*(ulong*)(buffer + Libc.StatxSizeOffset);
        }

        public void SignalCommand()
        {
            // Post only at zero: an auto-reset event is set or not, a semaphore counts.
            int value;
            if (Libc.sem_getvalue(_commandEvent, out value) == 0 && value > 0)
                return;
            Libc.sem_post(_commandEvent);
        }

        public void WaitHit(TimeSpan timeout)
        {
            Libc.Timespec deadline;
            Libc.clock_gettime(Libc.CLOCK_REALTIME, out deadline);
            long ticks = Math.Max(0, timeout.Ticks);  // 100 ns each
            long nanoseconds = deadline.Nanoseconds + (ticks % TimeSpan.TicksPerSecond) * 100;
            deadline.Seconds += ticks / TimeSpan.TicksPerSecond + nanoseconds / 1000000000;
            deadline.Nanoseconds = nanoseconds % 1000000000;
            while (Libc.sem_timedwait(_hitEvent, ref deadline) != 0)
            {
                if (Libc.LastError != Libc.EINTR)
                    return;  // timed out
            }
            // Extra posts of one wake belong to it; the caller re-reads the indexes anyway.
            while (Libc.sem_trywait(_hitEvent) == 0)
            {
            }
        }

        public IDisposable AcquireProducerLock(TimeSpan timeout)
        {
            // flock belongs to the open file description: our own shm_open of the command ring
            // competes with every other producer's. It has no timed form, so the non-blocking form
            // is retried, quickly at first.
            DateTime deadline = DateTime.UtcNow + timeout;
            int pauseMs = 1;
            for (;;)
            {
                if (Libc.flock(_commandFd, Libc.LOCK_EX | Libc.LOCK_NB) == 0)
                    return new FlockRelease(_commandFd);
                int errno = Libc.LastError;
                if (errno != Libc.EAGAIN && errno != Libc.EINTR)
                    throw new TavrikException("cannot take the command ring's producer lock: "
                                              + Libc.Describe(errno));
                TimeSpan left = deadline - DateTime.UtcNow;
                if (left <= TimeSpan.Zero)
                    return null;
                Thread.Sleep(Math.Min(pauseMs, (int)Math.Ceiling(left.TotalMilliseconds)));
                pauseMs = Math.Min(pauseMs * 2, 20);
            }
        }

        public bool IsWorkerAlive()
        {
            return IsWorkerRunning(_namespace);
        }

        public void Dispose()
        {
            // Views before the descriptors they came from; semaphores last.
            if (_hitView != IntPtr.Zero)
                Libc.munmap(_hitView, new UIntPtr((uint)RingGeometry.HitRingBytes));
            if (_commandView != IntPtr.Zero)
                Libc.munmap(_commandView, new UIntPtr((uint)RingGeometry.CommandRingBytes));
            if (_hitFd >= 0)
                Libc.close(_hitFd);
            if (_commandFd >= 0)
                Libc.close(_commandFd);
            if (_hitEvent != IntPtr.Zero)
                Libc.sem_close(_hitEvent);
            if (_commandEvent != IntPtr.Zero)
                Libc.sem_close(_commandEvent);
            _hitView = _commandView = _hitEvent = _commandEvent = IntPtr.Zero;
            _hitFd = _commandFd = -1;
        }

        sealed class FlockRelease : IDisposable
        {
            int _fd;

            public FlockRelease(int fd)
            {
                _fd = fd;
            }

            public void Dispose()
            {
                if (_fd >= 0)
                    Libc.flock(_fd, Libc.LOCK_UN);
                _fd = -1;
            }
        }
    }
}
