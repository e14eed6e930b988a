// The client against a real tavrik-worker, with the demo's target window on a private display.
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Threading;
using System.Threading.Tasks;
using NUnit.Framework;

namespace Tavrik.Client.Tests
{
    [TestFixture]
    public class WorkerTests
    {
        static readonly TimeSpan Patience = TimeSpan.FromSeconds(10);
        DemoDesktop _desktop;
        Sandbox _sandbox;

        [TestFixtureSetUp]
        public void StartDesktop()
        {
            _desktop = new DemoDesktop();
        }

        [TestFixtureTearDown]
        public void StopDesktop()
        {
            _desktop.Dispose();
        }

        [SetUp]
        public void StartWorker()
        {
            _sandbox = new Sandbox();
            _sandbox.StartWorker(_desktop.Display);
        }

        [TearDown]
        public void StopWorker()
        {
            _sandbox.Dispose();
        }

        // Reads until `done` holds for a message; fails with what it saw when none comes.
        static List<HitMessage> ReadUntil(TavrikClient client, Func<HitMessage, bool> done)
        {
            var seen = new List<HitMessage>();
            using (var patience = new CancellationTokenSource(Patience))
            {
                try
                {
                    foreach (HitMessage message in client.ReadHits(patience.Token))
                    {
                        seen.Add(message);
                        if (done(message))
                            return seen;
                    }
                }
                catch (OperationCanceledException)
                {
                }
            }
            Assert.Fail("no such message; read: " + string.Join(" | ", seen));
            return seen;
        }

        static List<string> NamesExceptIdle(IEnumerable<HitMessage> messages)
        {
            return messages.Select(m => m.Name).Where(n => n != "__hb__:IDLE").ToList();
        }

        [Test]
        public void TheWorkerStaysAliveForClientsWhenItsObjectsAreUnlinked()
        {
            using (TavrikClient client = _sandbox.Open())
            {
                _sandbox.UnlinkObjects();
                Assert.That(client.IsWorkerRunning, Is.True);
                Assert.That(LinuxTransport.IsWorkerRunning(_sandbox.Namespace), Is.True);
                // A new client hears that the worker runs, and why it still cannot attach.
                var refused = Assert.Throws<TavrikException>(() => _sandbox.Open());
                Assert.That(refused, Is.Not.InstanceOf<WorkerNotRunningException>());
                StringAssert.Contains("a worker is running", refused.Message);
                _sandbox.KillWorker();
                Assert.That(client.IsWorkerRunning, Is.False);
            }
        }

        [Test]
        public void ARingCutShortUnderTheWorkerIsGrownBackForTheNextClient()
        {
            string file = "/dev/shm" + _sandbox.ObjectName("CmdRingMMF");
            int fd = Libc.shm_open(_sandbox.ObjectName("CmdRingMMF"), Libc.O_RDWR | Libc.O_CLOEXEC, 0);
            Assert.That(Native.ftruncate(fd, 8000), Is.EqualTo(0));
            Libc.close(fd);
            Sandbox.WaitUntil(() => new FileInfo(file).Length == RingGeometry.CommandRingBytes,
                              "the command ring to be grown back", 5);
            using (TavrikClient client = _sandbox.Open())
                Assert.That(client.Heartbeat(Patience), Is.True);
        }

        [Test]
        public void AnAddedTemplateHitsMissesAndStopsWhenRemoved()
        {
            using (TavrikClient client = _sandbox.Open())
            {
                client.AddTemplate("badge:ok", _desktop.Badge, "tavrik-demo", 0, 0, 480, 320,
                                   threshold: 0.9f, cooldownMs: 100);
                HitMessage hit = ReadUntil(client, m => m.Name == "badge").Last();
                Assert.That(hit.Kind, Is.EqualTo(HitMessageKind.Result));
                Assert.That(hit.IsHit, Is.True, hit.ToString());
                Assert.That(new[] { hit.PosX, hit.PosY, hit.RoiWidth, hit.RoiHeight },
                            Is.EqualTo(new[] { 300, 200, 480, 320 }));
                Assert.That(hit.Threshold, Is.EqualTo(0.9f));
                Assert.That(hit.Score, Is.GreaterThanOrEqualTo(0.9f));
                Assert.That(Math.Abs((hit.Time - DateTimeOffset.UtcNow).TotalMinutes), Is.LessThan(1));

                _desktop.ShowBadge(false);
                try
                {
                    ReadUntil(client, m => m.Name == "badge" && !m.IsHit);
                }
                finally
                {
                    _desktop.ShowBadge(true);
                }

                // The loop reports IDLE only while nothing is registered; after it, nothing more
                // of the badge arrives.
                client.Remove("badge:ok");
                ReadUntil(client, m => m.Name == "__hb__:IDLE");
                Assert.That(client.Heartbeat(Patience), Is.True);
                Assert.That(ReadUntil(client, m => m.Name == "__hb__:CMD").Where(m => m.Name == "badge"),
                            Is.Empty);
            }
        }

        [Test]
        public void HeartbeatAndVersionLeaveTheMessagesToTheReader()
        {
            using (TavrikClient client = _sandbox.Open())
            {
                Assert.That(client.Version(Patience), Is.EqualTo("0.2.4"));
                Assert.That(client.Heartbeat(Patience), Is.True);
                Assert.That(NamesExceptIdle(ReadUntil(client, m => m.Name == "__hb__:CMD")),
                            Is.EqualTo(new[] { "__ver__:0.2.4", "__ver__:0.2.4", "__hb__:CMD" }));

                // With a reader taking every message on another thread, each answer still reaches
                // Heartbeat, and the reader still gets it.
                var read = new ConcurrentQueue<string>();
                using (var stop = new CancellationTokenSource())
                {
                    var reader = new Thread(() =>
                    {
                        try
                        {
                            foreach (HitMessage message in client.ReadHits(stop.Token))
                                read.Enqueue(message.Name);
                        }
                        catch (OperationCanceledException)
                        {
                        }
                    });
                    reader.Start();
                    // The reader is enumerating once it has taken a message of its own.
                    Assert.That(client.Heartbeat(Patience), Is.True, "first heartbeat");
                    Sandbox.WaitUntil(() => read.Contains("__hb__:CMD"), "the reader to start");
                    for (int i = 0; i < 5; ++i)
                        Assert.That(client.Heartbeat(Patience), Is.True, "heartbeat " + i);
                    Assert.Throws<InvalidOperationException>(
                        () => client.ReadHits(CancellationToken.None).GetEnumerator().MoveNext());
                    Sandbox.WaitUntil(() => read.Count(n => n == "__hb__:CMD") == 6, "6 answers read");
                    stop.Cancel();
                    reader.Join();
                }
            }
        }

        [Test]
        public void CommandsWaitWhileSixtyFourArePending()
        {
            using (TavrikClient client = _sandbox.Open())
            {
                Task<bool> late;
                _sandbox.Freeze();
                try
                {
                    for (int i = 0; i < 64; ++i)
                        client.Clear(TimeSpan.Zero);
                    Assert.That(client.PendingCommands, Is.EqualTo(64));
                    var full = Assert.Throws<TimeoutException>(() => client.Clear(TimeSpan.FromMilliseconds(100)));
                    StringAssert.Contains("64 commands are pending", full.Message);
                    Assert.That(client.PendingCommands, Is.EqualTo(64));

                    late = Task.Run(() => client.Heartbeat(Patience));
                    Assert.That(late.Wait(300), Is.False, "published over a pending command");
                }
                finally
                {
                    _sandbox.Thaw();
                }
                Assert.That(late.Result, Is.True, "the 65th command ran once there was room");
                Assert.That(client.PendingCommands, Is.EqualTo(0));
            }
        }

        [Test]
        public void AFullHitRingCountsWhatItDropsAndKeepsWhatItHolds()
        {
            using (TavrikClient client = _sandbox.Open())
            {
                // 1 start-up message and 70 answers: 64 fit, the rest are dropped.
                for (int i = 0; i < 70; ++i)
                    client.Publish(CommandBuilder.Bare(CommandType.Heartbeat), Patience);
                Sandbox.WaitUntil(() => client.PendingCommands == 0 && client.DroppedHits >= 7,
                                  "the worker to answer every heartbeat");
                var full = Assert.Throws<HitRingFullException>(
                    () => client.Heartbeat(TimeSpan.FromMilliseconds(300)));
                StringAssert.Contains("read the messages with ReadHits", full.Message);
                Assert.That(client.PendingHits, Is.EqualTo(64));
                Assert.That(client.DroppedHits, Is.GreaterThanOrEqualTo(8));

                List<HitMessage> kept;
                using (var patience = new CancellationTokenSource(Patience))
                    kept = client.ReadHits(patience.Token).Take(64).ToList();
                Assert.That(kept[0].Name, Is.EqualTo("__ver__:0.2.4"));
                Assert.That(kept.Skip(1).Where(m => m.Kind != HitMessageKind.Heartbeat), Is.Empty);
                Assert.That(client.PendingHits, Is.EqualTo(0));
                Assert.That(client.Heartbeat(Patience), Is.True);
            }
        }

        [Test]
        public void NamesOfThirtyUnitsArriveWholeAndLongerOnesAreRefused()
        {
            string thirty = "badge" + new string('x', 23) + "\U0001F600";  // 30 units
            string thirtyTwo = new string('y', 30) + ":k";  // 32 units; hits carry the 30 before ':'
            Assert.That(new[] { thirty.Length, thirtyTwo.Length }, Is.EqualTo(new[] { 30, 32 }));
            using (TavrikClient client = _sandbox.Open())
            {
                foreach (string name in new[] { new string('z', 31), new string('z', 32) })
                    Assert.Throws<ArgumentException>(
                        () => client.AddTemplate(name, _desktop.Badge, "tavrik-demo", 0, 0, 480, 320));
                client.AddTemplate(thirty, _desktop.Badge, "tavrik-demo", 0, 0, 480, 320, cooldownMs: 200);
                client.AddTemplate(thirtyTwo, _desktop.Badge, "tavrik-demo", 0, 0, 480, 320, cooldownMs: 200);
                var expected = new HashSet<string> { thirty, new string('y', 30) };
                var seen = new HashSet<string>();
                List<HitMessage> read = ReadUntil(client, m =>
                {
                    if (m.Kind == HitMessageKind.Result)
                        seen.Add(m.Name);
                    return seen.IsSupersetOf(expected);
                });
                Assert.That(seen, Is.EquivalentTo(expected), "every result carried one of the names whole");
                Assert.That(read.Where(m => m.Kind == HitMessageKind.Result).All(m => m.IsHit), Is.True);
                client.Remove(thirtyTwo);
                client.Clear();
            }
        }

        [Test]
        public unsafe void ProducersTakeTurnsAndIndexesWrap()
        {
            using (TavrikClient client = _sandbox.Open())
            {
                var command = (uint*)client.Transport.CommandRing;
                var hit = (uint*)client.Transport.HitRing;
                // Another producer holds the lock: nothing is published until it lets go.
                int other = Libc.shm_open(_sandbox.ObjectName("CmdRingMMF"), Libc.O_RDWR, 0);
                Assert.That(Libc.flock(other, Libc.LOCK_EX | Libc.LOCK_NB), Is.EqualTo(0));
                uint before = command[0];
                var held = Assert.Throws<TimeoutException>(() => client.Clear(TimeSpan.FromMilliseconds(100)));
                StringAssert.Contains("producer lock", held.Message);
                Assert.That(command[0], Is.EqualTo(before));
                Libc.close(other);
                client.Clear();

                // Both rings two messages short of the 32-bit wrap, with nothing pending.
                _sandbox.Freeze();
                command[0] = command[1] = 0xFFFFFFFEu;
                hit[0] = hit[1] = 0xFFFFFFFEu;
                _sandbox.Thaw();
                for (int i = 0; i < 4; ++i)
                    Assert.That(client.Heartbeat(Patience), Is.True, "heartbeat " + i);
                Assert.That(NamesExceptIdle(ReadUntil(client, m => hit[1] == 2 && m.Name == "__hb__:CMD")),
                            Is.EqualTo(Enumerable.Repeat("__hb__:CMD", 4)));
                Assert.That(command[0], Is.EqualTo(2u));
            }
        }

        [Test]
        public void TheExampleWatchesTheDemo()
        {
            string example = Path.Combine(Path.GetDirectoryName(typeof(WorkerTests).Assembly.Location),
                                          "WatchBadge.exe");
            var start = new ProcessStartInfo("mono", "\"" + example + "\" \"" + _desktop.Badge + "\" 2")
            {
                UseShellExecute = false,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
            };
            start.EnvironmentVariables["TAVRIK_IPC_NAMESPACE"] = _sandbox.Namespace;
            using (Process run = Process.Start(start))
            {
                string output = run.StandardOutput.ReadToEnd();
                string errors = run.StandardError.ReadToEnd();
                Assert.That(run.WaitForExit(30000), Is.True);
                Assert.That(run.ExitCode, Is.EqualTo(0), errors);
                StringAssert.Contains("worker version 0.2.4", output);
                StringAssert.Contains("HIT badge score=", output);
            }
            // It cleaned up after itself.
            Sandbox.WaitUntil(() => File.ReadAllText(Path.Combine(_sandbox.Directory, "worker.log"))
                                        .Contains("[Spec] Removed 'badge:ok'"),
                              "the example's remove");
        }
    }
}
