// A Windows job object that kills its processes when its last handle closes: the worker is put in
// one, and we hold the only handle, so the worker ends with our process however that ends (a crash
// or Task Manager included). Thin on purpose, as WindowsTransport: it runs only on Windows and is
// not tested on this build machine.
//
// The worker is assigned right after it starts; should our process die in between, that worker
// would live on (Process.Start cannot start it suspended).
//
// Threads: Assign and Dispose from one thread at a time.
using System;
using System.ComponentModel;
using System.Diagnostics;
using System.Runtime.InteropServices;
using Microsoft.Win32.SafeHandles;

namespace Tavrik.Client
{
    internal sealed class WindowsJob : IDisposable
    {
        // JOBOBJECTINFOCLASS JobObjectExtendedLimitInformation, and the one limit we set.
        const int JobObjectExtendedLimitInformation = 9;
        const uint JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE = 0x00002000;

        readonly JobHandle _job;

        public WindowsJob()
        {
            _job = CreateJobObjectW(IntPtr.Zero, null);
            if (_job.IsInvalid)
                throw new Win32Exception(Marshal.GetLastWin32Error(), "CreateJobObjectW");
            var limits = new JOBOBJECT_EXTENDED_LIMIT_INFORMATION();
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            if (!SetInformationJobObject(_job, JobObjectExtendedLimitInformation, ref limits,
                                         (uint)Marshal.SizeOf(typeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION))))
            {
                int error = Marshal.GetLastWin32Error();
                _job.Dispose();
                throw new Win32Exception(error, "SetInformationJobObject");
            }
        }

        /// <summary>Puts the process in the job; on failure kills it, so that it cannot outlive us.</summary>
        public void Assign(Process process)
        {
            if (AssignProcessToJobObject(_job, process.Handle))
                return;
            int error = Marshal.GetLastWin32Error();
            process.Kill();
            throw new Win32Exception(error, "AssignProcessToJobObject");
        }

        /// <summary>Closes our handle: the processes in the job are terminated.</summary>
        public void Dispose()
        {
            _job.Dispose();
        }

        sealed class JobHandle : SafeHandleZeroOrMinusOneIsInvalid
        {
            JobHandle() : base(true)
            {
            }

            protected override bool ReleaseHandle()
            {
                return CloseHandle(handle);
            }
        }

        [StructLayout(LayoutKind.Sequential)]
        struct JOBOBJECT_BASIC_LIMIT_INFORMATION
        {
            public long PerProcessUserTimeLimit;  // LARGE_INTEGER
            public long PerJobUserTimeLimit;
            public uint LimitFlags;
            public UIntPtr MinimumWorkingSetSize;  // SIZE_T
            public UIntPtr MaximumWorkingSetSize;
            public uint ActiveProcessLimit;
            public UIntPtr Affinity;  // ULONG_PTR
            public uint PriorityClass;
            public uint SchedulingClass;
        }

        [StructLayout(LayoutKind.Sequential)]
        struct IO_COUNTERS
        {
            public ulong ReadOperationCount;
            public ulong WriteOperationCount;
            public ulong OtherOperationCount;
            public ulong ReadTransferCount;
            public ulong WriteTransferCount;
            public ulong OtherTransferCount;
        }

        [StructLayout(LayoutKind.Sequential)]
        struct JOBOBJECT_EXTENDED_LIMIT_INFORMATION
        {
            public JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
            public IO_COUNTERS IoInfo;
            public UIntPtr ProcessMemoryLimit;
            public UIntPtr JobMemoryLimit;
            public UIntPtr PeakProcessMemoryUsed;
            public UIntPtr PeakJobMemoryUsed;
        }

        [DllImport("kernel32.dll", SetLastError = true, CharSet = CharSet.Unicode)]
        static extern JobHandle CreateJobObjectW(IntPtr jobAttributes, string name);

        [DllImport("kernel32.dll", SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        static extern bool SetInformationJobObject(JobHandle job, int infoClass,
                                                   ref JOBOBJECT_EXTENDED_LIMIT_INFORMATION info,
                                                   uint length);

        [DllImport("kernel32.dll", SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        static extern bool AssignProcessToJobObject(JobHandle job, IntPtr process);

        [DllImport("kernel32.dll", SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        static extern bool CloseHandle(IntPtr handle);
    }
}
