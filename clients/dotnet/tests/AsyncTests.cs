// The asynchronous API and the worker a client owns, against a real tavrik-worker (no display
// needed: heartbeats and version replies are all these tests read).
using System;
using System.Collections.Concurrent;
using System.Diagnostics;
using System.IO;
using System.Threading;
using System.Threading.Tasks;
using NUnit.Framework;

namespace Tavrik.Client.Tests
{
    /// <summary>A SynchronizationContext with one thread of its own, as a UI thread has.</summary>
    internal sealed class PumpContext : SynchronizationContext, IDisposable
    {
        readonly BlockingCollection<Action> _queue = new BlockingCollection<Action>();
        readonly Thread _thread;

        public PumpContext()
        {
            _thread = new Thread(() =>
            {
                SetSynchronizationContext(this);
                foreach (Action action in _queue.GetConsumingEnumerable())
                    action();
            });
            _thread.Start();
        }

        public Thread Thread
        {
            get { return _thread; }
        }

        public override void Post(SendOrPostCallback callback, object state)
        {
            _queue.Add(() => callback(state));
        }

        /// <summary>Runs <paramref name="action"/> on the pump's thread and waits for it.</summary>
        public void Run(Action action)
        {
            using (var done = new ManualResetEventSlim())
            {
                Exception failure = null;
                Post(state => { try { action(); } catch (Exception e) { failure = e; } done.Set(); }, null);
                done.Wait();
                if (failure != null)
                    throw new AggregateException(failure);
            }
        }

        public void Dispose()
        {
            _queue.CompleteAdding();
            _thread.Join();
        }
    }

    [TestFixture]
    public class AsyncTests
    {
        static readonly TimeSpan Patience = TimeSpan.FromSeconds(10);
        static readonly TimeSpan Short = TimeSpan.FromMilliseconds(200);
        Sandbox _sandbox;

        [SetUp]
        public void StartWorker()
        {
            _sandbox = new Sandbox();
            _sandbox.StartWorker();
        }

        [TearDown]
        public void StopWorker()
        {
            _sandbox.Dispose();
        }

        static Exception Outcome(Task task)
        {
            try
            {
                Assert.That(task.Wait(Patience), Is.True, "the task did not end");
                return null;
            }
            catch (AggregateException e)
            {
                return e.InnerException;
            }
        }

        static TemplateSpec Badge()
        {
            return new TemplateSpec { Name = "badge:ok", Path = "/nonexistent/badge.png",
                                      ProcessName = "nobody.exe", RoiWidth = 10, RoiHeight = 10 };
        }

        [Test]
        public void RequestsAnswerAndCommandsAreTaken()
        {
            using (TavrikClient client = _sandbox.Open())
            {
                Assert.That(client.HeartbeatAsync().Result, Is.True);
                Assert.That(client.VersionAsync(Patience).Result, Is.EqualTo("0.2.4"));
                Task.WaitAll(client.AddTemplateAsync(Badge()), client.RemoveAsync("badge:ok"),
                             client.ClearAsync(Patience));
                Sandbox.WaitUntil(() => client.PendingCommands == 0, "the worker to take the commands");
            }
        }

        [Test]
        public void AStoppedWorkerMakesRequestsTimeOutOrBeCancelled()
        {
            using (TavrikClient client = _sandbox.Open())
            using (var cancel = new CancellationTokenSource())
            {
                // Stopped first, so that nothing arrives once the ring is drained.
                _sandbox.Freeze();
                while (client.PendingHits > 0)
                    client.NextHitAsync().Wait();
                for (int i = 0; i < 64; ++i)
                    client.Clear();
                // The calls return before their waits end: the ring is full and nothing answers.
                var pending = new[]
                {
                    client.AddTemplateAsync(Badge(), Patience, cancel.Token),
                    client.HeartbeatAsync(Patience, cancel.Token),
                    client.NextHitAsync(cancel.Token),
                };
                foreach (Task task in pending)
                    Assert.That(task.IsCompleted, Is.False);
                cancel.Cancel();
                foreach (Task task in pending)
                    Assert.That(Outcome(task), Is.InstanceOf<OperationCanceledException>());

                var cases = new[]
                {
                    Tuple.Create("add", (Task)client.AddTemplateAsync(Badge(), Short), typeof(TimeoutException)),
                    Tuple.Create("version", (Task)client.VersionAsync(Short), typeof(TimeoutException)),
                    Tuple.Create("heartbeat", (Task)client.HeartbeatAsync(Short), typeof(TimeoutException)),
                    Tuple.Create("cancelled before", (Task)client.ClearAsync(cancel.Token),
                                 typeof(TaskCanceledException)),
                };
                foreach (var c in cases)
                    Assert.That(Outcome(c.Item2), Is.InstanceOf(c.Item3), c.Item1);
                _sandbox.Thaw();
            }
        }

        [Test]
        public void HitsAreRaisedOnTheCapturedContextAndCompleteNextHit()
        {
            using (var pump = new PumpContext())
            using (TavrikClient client = _sandbox.Open())
            {
                var raised = new BlockingCollection<Tuple<string, Thread>>();
                client.HitReceived += (sender, e) =>
                    raised.Add(Tuple.Create(e.Message.Name, Thread.CurrentThread));
                pump.Run(() => client.StartReadingHits(raiseOnCapturedContext: true));
                Task<HitMessage> next = client.NextHitAsync();
                Assert.That(client.HeartbeatAsync(Patience).Result, Is.True);
                Assert.That(next.Wait(Patience), Is.True, "NextHitAsync did not complete");
                Tuple<string, Thread> heartbeat = null;
                while (heartbeat == null || heartbeat.Item1 != "__hb__:CMD")
                    Assert.That(raised.TryTake(out heartbeat, Patience), Is.True, "no heartbeat raised");
                Assert.That(heartbeat.Item2, Is.SameAs(pump.Thread));
                Assert.Throws<InvalidOperationException>(() => client.ReadHits(CancellationToken.None).GetEnumerator().MoveNext());
                client.StopReadingHits();
                Assert.That(client.IsReadingHits, Is.False);
            }
        }

        [Test]
        public void DisposeEndsPendingReads()
        {
            foreach (bool background in new[] { false, true })
            {
                TavrikClient client = _sandbox.Open();
                _sandbox.Freeze();
                while (client.PendingHits > 0)
                    client.NextHitAsync().Wait();
                if (background)
                    client.StartReadingHits();
                Task<HitMessage> pending = client.NextHitAsync();
                Thread.Sleep(Short);  // let the read begin to wait
                client.Dispose();
                Assert.That(Outcome(pending), Is.InstanceOf<ObjectDisposedException>(),
                            background ? "with the background reader" : "taking from the ring");
                _sandbox.Thaw();
            }
        }
    }

    [TestFixture]
    public class OwnedWorkerTests
    {
        static WorkerOptions In(Sandbox sandbox, string path = null)
        {
            return new WorkerOptions { Namespace = sandbox.Namespace,
                                       Path = path ?? Paths.Program("tavrik-worker") };
        }

        static bool GoneWithin(int pid, TimeSpan bound)
        {
            DateTime deadline = DateTime.UtcNow + bound;
            do
            {
                // A zombie has ended; only its parent's wait is missing.
                string stat = "/proc/" + pid + "/stat";
                if (!File.Exists(stat) || File.ReadAllText(stat).Split(')')[1].Trim()[0] == 'Z')
                    return true;
                Thread.Sleep(10);
            } while (DateTime.UtcNow < deadline);
            return false;
        }

        [Test]
        public void AStartedWorkerServesUntilDisposed()
        {
            using (var sandbox = new Sandbox())
            {
                TavrikWorker worker = TavrikWorker.Start(In(sandbox));
                using (TavrikClient client = worker.OpenClient())
                    Assert.That(client.HeartbeatAsync().Result, Is.True);
                int pid = worker.ProcessId;
                worker.Dispose();
                Assert.That(GoneWithin(pid, TimeSpan.Zero), Is.True);
                Assert.That(LinuxTransport.IsWorkerRunning(sandbox.Namespace), Is.False);
            }
        }

        [Test]
        public void AWorkerThatEndsFirstReportsItsExitCode()
        {
            using (var sandbox = new Sandbox())
            {
                // The parent it is told of is the wrapper's, not its own.
                string wrapper = Path.Combine(sandbox.Directory, "wrapper.sh");
                File.WriteAllText(wrapper, "#!/bin/sh\n" + Paths.Program("tavrik-worker") + "\nexit $?\n");
                Process.Start("chmod", "755 " + wrapper).WaitForExit();
                sandbox.StartWorker();
                using (var other = new Sandbox())
                {
                    var cases = new[]
                    {
                        Tuple.Create(In(sandbox), 3, "another worker already runs"),
                        Tuple.Create(In(other, wrapper), 1, "could not start"),
                    };
                    foreach (var c in cases)
                    {
                        var error = Assert.Throws<WorkerExitedException>(() => TavrikWorker.Start(c.Item1));
                        Assert.That(error.ExitCode, Is.EqualTo(c.Item2));
                        StringAssert.Contains(c.Item3, error.Message);
                    }
                }
                Assert.Throws<FileNotFoundException>(
                    () => TavrikWorker.Start(In(sandbox, Path.Combine(sandbox.Directory, "none"))));
            }
        }

        [Test]
        public void AKilledClientTakesItsWorkerWithIt()
        {
            using (var sandbox = new Sandbox())
            {
                var start = new ProcessStartInfo("mono", "OwnWorkerConsumer.exe "
                                                         + Paths.Program("tavrik-worker") + " --hold")
                {
                    UseShellExecute = false,
                    RedirectStandardOutput = true,
                };
                start.EnvironmentVariables["TAVRIK_IPC_NAMESPACE"] = sandbox.Namespace;
                using (Process client = Process.Start(start))
                {
                    int worker = int.Parse(client.StandardOutput.ReadLine());
                    Assert.That(Native.kill(client.Id, 9), Is.EqualTo(0));
                    client.WaitForExit();
                    Assert.That(GoneWithin(worker, TimeSpan.FromSeconds(1)), Is.True,
                                "the worker outlived its killed client by 1 s");
                }
                Sandbox.WaitUntil(() => !LinuxTransport.IsWorkerRunning(sandbox.Namespace),
                                  "the worker's lock to go");
            }
        }
    }
}
