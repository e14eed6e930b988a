// The rings on Windows: named file mappings and auto-reset events in the session namespace
// ("Local\"), the named producer mutex and the worker's liveness mutex.
//
// Deliberately thin: it only opens the worker's objects and hands out their pointers, so that all
// protocol logic stays in the code that the Linux tests exercise. It is compiled with the library
// everywhere and runs only on Windows (no .NET runtime runs under Wine here, so it is not tested
// on this build machine).
//
// Threads: see IRingTransport.
using System;
using System.IO;
using System.IO.MemoryMappedFiles;
using System.Threading;

namespace Tavrik.Client
{
    internal sealed class WindowsTransport : IRingTransport
    {
        const string Prefix = "Local\\";

        MappedRing _command;
        MappedRing _hit;
        EventWaitHandle _commandEvent;
        EventWaitHandle _hitEvent;
        Mutex _producerLock;

        public IntPtr CommandRing
        {
            get { return _command.Pointer; }
        }

        public IntPtr HitRing
        {
            get { return _hit.Pointer; }
        }

        public static WindowsTransport Open()
        {
            var transport = new WindowsTransport();
            try
            {
                transport._command = MappedRing.Open(Prefix + "CmdRingMMF", RingGeometry.CommandRingBytes);
                transport._hit = MappedRing.Open(Prefix + "HitRingMMF", RingGeometry.HitRingBytes);
                transport._commandEvent = OpenEvent(Prefix + "CmdRingEvent");
                transport._hitEvent = OpenEvent(Prefix + "HitRingEvent");
                // Producers create the mutex when none exists yet; the worker never takes it.
                transport._producerLock = new Mutex(false, Prefix + "CmdRingProducerLock");
                if (!transport.IsWorkerAlive())
                    throw new WorkerNotRunningException(
                        "no Tavrik worker is running: its rings exist, but nobody owns the mutex "
                        + Prefix + "TavrikWorkerLock (a worker ran and stopped); start "
                        + "tavrik-worker.exe");
                return transport;
            }
            catch
            {
                transport.Dispose();
                throw;
            }
        }

        static EventWaitHandle OpenEvent(string name)
        {
            try
            {
                return EventWaitHandle.OpenExisting(name);
            }
            catch (WaitHandleCannotBeOpenedException)
            {
                throw NotRunning(name);
            }
        }

        static Exception NotRunning(string name)
        {
            return new WorkerNotRunningException("no Tavrik worker is running: " + name
                                                 + " does not exist; start tavrik-worker.exe");
        }

        public void SignalCommand()
        {
            _commandEvent.Set();
        }

        public void WaitHit(TimeSpan timeout)
        {
            _hitEvent.WaitOne(timeout);
        }

        public IDisposable AcquireProducerLock(TimeSpan timeout)
        {
            try
            {
                if (!_producerLock.WaitOne(timeout))
                    return null;
            }
            catch (AbandonedMutexException)
            {
                // A producer died holding it; the mutex is ours all the same.
            }
            return new MutexRelease(_producerLock);
        }

        public bool IsWorkerAlive()
        {
            return IsWorkerRunning();
        }

        /// <summary>True while a worker owns the liveness mutex of this session.</summary>
        public static bool IsWorkerRunning()
        {
            Mutex liveness;
            if (!Mutex.TryOpenExisting(Prefix + "TavrikWorkerLock", out liveness))
                return false;
            using (liveness)
            {
                bool obtained;
                try
                {
                    obtained = liveness.WaitOne(0);
                }
                catch (AbandonedMutexException)
                {
                    obtained = true;  // its worker died; we own it now
                }
                if (obtained)
                    liveness.ReleaseMutex();
                return !obtained;
            }
        }

        public void Dispose()
        {
            if (_producerLock != null)
                _producerLock.Dispose();
            if (_hitEvent != null)
                _hitEvent.Dispose();
            if (_commandEvent != null)
                _commandEvent.Dispose();
            if (_hit != null)
                _hit.Dispose();
            if (_command != null)
                _command.Dispose();
            _producerLock = null;
            _hitEvent = _commandEvent = null;
            _hit = _command = null;
        }

        sealed class MutexRelease : IDisposable
        {
            Mutex _mutex;

            public MutexRelease(Mutex mutex)
            {
                _mutex = mutex;
            }

            public void Dispose()
            {
                if (_mutex != null)
                    _mutex.ReleaseMutex();
                _mutex = null;
            }
        }

        // A mapping with one view over its first bytes, and the view's pointer held for its life.
        sealed class MappedRing : IDisposable
        {
            MemoryMappedFile _file;
            MemoryMappedViewAccessor _view;
            unsafe byte* _pointer;

            public unsafe IntPtr Pointer
            {
                get { return new IntPtr(_pointer + _view.PointerOffset); }
            }

            public static unsafe MappedRing Open(string name, int bytes)
            {
                var ring = new MappedRing();
                try
                {
                    try
                    {
                        ring._file = MemoryMappedFile.OpenExisting(name,
                                                                   MemoryMappedFileRights.ReadWrite);
                    }
                    catch (FileNotFoundException)
                    {
                        throw NotRunning(name);
                    }
                    try
                    {
                        ring._view = ring._file.CreateViewAccessor(0, bytes,
                                                                   MemoryMappedFileAccess.ReadWrite);
                    }
                    catch (Exception e)
                    {
                        if (e is UnauthorizedAccessException || e is IOException
                            || e is ArgumentOutOfRangeException)
                            throw new TavrikException(
                                name + " cannot be mapped as " + bytes + " bytes; it was not made "
                                    + "by a Tavrik worker",
                                e);
                        throw;
                    }
                    ring._view.SafeMemoryMappedViewHandle.AcquirePointer(ref ring._pointer);
                    return ring;
                }
                catch
                {
                    ring.Dispose();
                    throw;
                }
            }

            public unsafe void Dispose()
            {
                if (_pointer != null)
                    _view.SafeMemoryMappedViewHandle.ReleasePointer();
                _pointer = null;
                if (_view != null)
                    _view.Dispose();
                if (_file != null)
                    _file.Dispose();
                _view = null;
                _file = null;
            }
        }
    }
}
