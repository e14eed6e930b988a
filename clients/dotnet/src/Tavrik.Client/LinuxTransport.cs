// The rings on Linux: POSIX shared memory, named semaphores standing in for the auto-reset events,
// and flock for the producer and liveness locks.
//
// Every object is "/<namespace>-<name>"; the worker creates them (mode 0600) and this transport
// only opens them, refusing objects of another user. A semaphore acts as an auto-reset event: it
// is posted only when its value is 0, and a wait consumes it.
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
        const int MaxNameChars = 255 - 4;

        readonly string _namespace;
        int _commandFd = -1;
        IntPtr _commandView = IntPtr.Zero;
        int _hitFd = -1;
        IntPtr _hitView = IntPtr.Zero;
        IntPtr _commandEvent = IntPtr.Zero;
        IntPtr _hitEvent = IntPtr.Zero;

        LinuxTransport(string ns)
        {
            _namespace = ns;
        }

        public IntPtr CommandRing
        {
            get { return _commandView; }
        }

        public IntPtr HitRing
        {
            get { return _hitView; }
        }

        /// <summary>$TAVRIK_IPC_NAMESPACE when set and not empty, else "tavrik-(real uid)".</summary>
        public static string DefaultNamespace()
        {
            string fromEnvironment = Environment.GetEnvironmentVariable("TAVRIK_IPC_NAMESPACE");
            if (!string.IsNullOrEmpty(fromEnvironment))
                return fromEnvironment;
            return "tavrik-" + Libc.getuid();
        }

        /// <summary>"/(namespace)-(name)", or an ArgumentException when that is no object name.</summary>
        public static string ObjectName(string ns, string name)
        {
            if (ns.Length == 0 || ns.IndexOf('/') >= 0 || ns.IndexOf('\0') >= 0)
                throw new ArgumentException(
                    "the namespace \"" + ns + "\" cannot name a shared-memory object (it is empty or "
                        + "contains '/' or NUL)",
                    "namespace");
            if (ns.Length + 1 + name.Length > MaxNameChars)
                throw new ArgumentException("the namespace \"" + ns + "\" is too long", "namespace");
            return "/" + ns + "-" + name;
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
            string lockObject = ObjectName(_namespace, "TavrikWorkerLock");
            _commandFd = OpenRing("CmdRingMMF", RingGeometry.CommandRingBytes, out _commandView);
            _hitFd = OpenRing("HitRingMMF", RingGeometry.HitRingBytes, out _hitView);
            _commandEvent = OpenEvent("CmdRingEvent");
            _hitEvent = OpenEvent("HitRingEvent");
            if (!IsWorkerAlive())
                throw new WorkerNotRunningException(
                    "no Tavrik worker is running in namespace '" + _namespace + "': its rings exist, "
                        + "but nobody holds the liveness lock " + lockObject + " (a worker ran and "
                        + "stopped); start tavrik-worker, or systemctl --user start tavrik-worker");
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
            if (errno == Libc.ENOENT)
                return new WorkerNotRunningException(
                    "no Tavrik worker is running in namespace '" + _namespace + "': " + objectName
                        + " does not exist; start tavrik-worker, or systemctl --user start "
                        + "tavrik-worker");
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
            return ProbeLivenessLock(ObjectName(_namespace, "TavrikWorkerLock"));
        }

        /// <summary>
        /// True when somebody holds the lock object exclusively (a running worker); false when the
        /// object is missing or a shared lock on it is granted (released at once).
        /// </summary>
        internal static bool ProbeLivenessLock(string objectName)
        {
            int fd = Libc.shm_open(objectName, Libc.O_RDONLY | Libc.O_CLOEXEC, 0);
            if (fd < 0)
            {
                int errno = Libc.LastError;
                if (errno == Libc.ENOENT)
                    return false;
                throw new TavrikException("cannot open the liveness lock " + objectName + ": "
                                          + Libc.Describe(errno));
            }
            try
            {
                for (;;)
                {
                    if (Libc.flock(fd, Libc.LOCK_SH | Libc.LOCK_NB) == 0)
                    {
                        Libc.flock(fd, Libc.LOCK_UN);
                        return false;
                    }
                    int errno = Libc.LastError;
                    if (errno == Libc.EAGAIN)
                        return true;
                    if (errno != Libc.EINTR)
                        throw new TavrikException("cannot test the liveness lock " + objectName
                                                  + ": " + Libc.Describe(errno));
                }
            }
            finally
            {
                Libc.close(fd);
            }
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
