// The C library calls of the Linux transport (glibc, 64-bit Linux: x86-64 or aarch64).
//
// Shared memory is opened with shm_open and mapped with mmap rather than through a .NET file API:
// FileStream takes a lock of its own on the file, which would then block every other producer's
// flock. Constants are those of Linux's generic and x86-64 ABIs, which agree on every value used
// here. Thread-safe: each call is a plain system call.
using System;
using System.Runtime.InteropServices;

namespace Tavrik.Client
{
    internal static unsafe class Libc
    {
        // "libc" resolves to libc.so.6 under both Mono (its dllmap) and .NET (its own rule).
        const string Library = "libc";

        public const int O_RDONLY = 0;
        public const int O_RDWR = 2;
        public const int O_NOFOLLOW = 0x20000;
        public const int O_CLOEXEC = 0x80000;
        public const int PROT_READ = 1;
        public const int PROT_WRITE = 2;
        public const int MAP_SHARED = 1;
        public const int LOCK_SH = 1;
        public const int LOCK_EX = 2;
        public const int LOCK_NB = 4;
        public const int LOCK_UN = 8;
        public const int CLOCK_REALTIME = 0;
        public const int AT_FDCWD = -100;
        public const int AT_EMPTY_PATH = 0x1000;
        public const uint STATX_BASIC_STATS = 0x7ff;

        public const int ENOENT = 2;
        public const int EINTR = 4;
        public const int EAGAIN = 11;  // also EWOULDBLOCK
        public const int EACCES = 13;
        public const int ELOOP = 40;
        public const int ENOSYS = 38;
        public const int ETIMEDOUT = 110;

        public static readonly IntPtr MapFailed = new IntPtr(-1);

        [StructLayout(LayoutKind.Sequential)]
        public struct Timespec
        {
            public long Seconds;
            public long Nanoseconds;
        }

        // struct statx: the same layout on every architecture, unlike struct stat.
        public const int StatxBytes = 256;
        public const int StatxUidOffset = 20;
        public const int StatxModeOffset = 28;
        public const int StatxSizeOffset = 40;

        [DllImport(Library, SetLastError = true)]
        public static extern int shm_open([MarshalAs(UnmanagedType.LPStr)] string name, int flags,
                                          uint mode);

        [DllImport(Library, SetLastError = true)]
        public static extern int close(int fd);

        [DllImport(Library, SetLastError = true)]
        public static extern IntPtr mmap(IntPtr address, UIntPtr length, int protection, int flags,
                                         int fd, IntPtr offset);

        [DllImport(Library, SetLastError = true)]
        public static extern int munmap(IntPtr address, UIntPtr length);

        [DllImport(Library, SetLastError = true)]
        public static extern int flock(int fd, int operation);

        [DllImport(Library, SetLastError = true)]
        public static extern int statx(int directoryFd, [MarshalAs(UnmanagedType.LPStr)] string path,
                                       int flags, uint mask, byte* buffer);

        // open is variadic; without O_CREAT it reads only these two arguments.
        [DllImport(Library, SetLastError = true)]
        public static extern int open([MarshalAs(UnmanagedType.LPStr)] string path, int flags);

        [DllImport(Library)]
        public static extern uint getuid();

        [DllImport(Library)]
        public static extern uint geteuid();

        // sem_open is variadic; without O_CREAT it reads only these two arguments.
        [DllImport(Library, SetLastError = true)]
        public static extern IntPtr sem_open([MarshalAs(UnmanagedType.LPStr)] string name, int flags);

        [DllImport(Library, SetLastError = true)]
        public static extern int sem_close(IntPtr semaphore);

        [DllImport(Library, SetLastError = true)]
        public static extern int sem_post(IntPtr semaphore);

        [DllImport(Library, SetLastError = true)]
        public static extern int sem_getvalue(IntPtr semaphore, out int value);

        [DllImport(Library, SetLastError = true)]
        public static extern int sem_timedwait(IntPtr semaphore, ref Timespec absoluteDeadline);

        [DllImport(Library, SetLastError = true)]
        public static extern int sem_trywait(IntPtr semaphore);

        [DllImport(Library, SetLastError = true)]
        public static extern int clock_gettime(int clock, out Timespec now);

        public const int SIGTERM = 15;

        [DllImport(Library, SetLastError = true)]
        public static extern int kill(int pid, int signal);

        public static int LastError
        {
            get { return Marshal.GetLastWin32Error(); }
        }

        public static string Describe(int errno)
        {
            switch (errno)
            {
                case ENOENT: return "no such object (ENOENT)";
                case EACCES: return "permission denied (EACCES)";
                case ENOSYS: return "not supported by the kernel (ENOSYS)";
                default: return "errno " + errno;
            }
        }
    }
}
