// The slot structs against the golden bytes of docs/protocol.md, and the checks that keep a
// command from reaching the worker in a form it would cut or change.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using NUnit.Framework;

namespace Tavrik.Client.Tests
{
    [TestFixture]
    public class ProtocolDocumentTests
    {
        // The hex dump that follows "<!-- golden:(tag) -->" in the protocol document.
        static byte[] Golden(string tag)
        {
            string[] lines = File.ReadAllLines(Path.Combine(Paths.SourceDir, "docs", "protocol.md"));
            int at = Array.IndexOf(lines, "<!-- golden:" + tag + " -->");
            Assert.That(at, Is.GreaterThanOrEqualTo(0), "golden dump " + tag);
            Assert.That(lines[at + 1], Is.EqualTo("```"));
            var bytes = new List<byte>();
            for (int i = at + 2; lines[i] != "```"; ++i)
            {
                string[] parts = lines[i].Split(new[] { ':' }, 2);
                Assert.That(Convert.ToInt32(parts[0], 16), Is.EqualTo(bytes.Count), lines[i]);
                bytes.AddRange(parts[1].Split(new[] { ' ' }, StringSplitOptions.RemoveEmptyEntries)
                                   .Select(b => Convert.ToByte(b, 16)));
            }
            return bytes.ToArray();
        }

        static unsafe byte[] BytesOf(CommandSlot slot)
        {
            var bytes = new byte[sizeof(CommandSlot)];
            Marshal.Copy(new IntPtr(&slot), bytes, 0, bytes.Length);
            return bytes;
        }

        [Test]
        public void AddTemplateWritesTheDocumentsCommandSlot()
        {
            CommandSlot slot = CommandBuilder.Add("t2:chest", "img/chest.png", "game.exe", 10, 20,
                                                  64, 48, 0.8f, 500, 0.05f, 0f);
            Assert.That(BytesOf(slot), Is.EqualTo(Golden("command-slot")));
        }

        [Test]
        public void ATemplateSpecWritesTheDocumentsCommandSlot()
        {
            // A cooldown between whole milliseconds is rounded up: the worker waits at least that.
            var spec = new TemplateSpec
            {
                Name = "t2:chest", Path = "img/chest.png", ProcessName = "game.exe", RoiX = 10,
                RoiY = 20, RoiWidth = 64, RoiHeight = 48, Threshold = 0.8f,
                Cooldown = TimeSpan.FromTicks(4992500), BaselineMargin = 0.05f,
            };
            Assert.That(BytesOf(spec.ToSlot()), Is.EqualTo(Golden("command-slot")));
        }

        [Test]
        public unsafe void TheDocumentsHitSlotReadsAsItsFields()
        {
            byte[] golden = Golden("hit-slot");
            Assert.That(golden.Length, Is.EqualTo(sizeof(HitSlot)));
            HitSlot slot;
            Marshal.Copy(golden, 0, new IntPtr(&slot), golden.Length);
            HitMessage message = HitMessage.FromSlot(slot);
            Assert.That(message.Kind, Is.EqualTo(HitMessageKind.Result));
            Assert.That(message.Name, Is.EqualTo("badge"));
            Assert.That(message.TimestampMs, Is.EqualTo(1765100000000L));
            Assert.That(new[] { message.PosX, message.PosY, message.RoiWidth, message.RoiHeight },
                        Is.EqualTo(new[] { 300, 200, 480, 320 }));
            Assert.That(message.IsHit, Is.True);
            Assert.That(new[] { message.Score, message.Threshold, message.Baseline },
                        Is.EqualTo(new[] { 0.987f, 0.9f, 0.25f }));
        }
    }

    [TestFixture]
    public class CommandValidationTests
    {
        static string Units(int count, char c = 'n')
        {
            return new string(c, count);
        }

        static void Add(string name = "badge:ok", string path = "badge.png", string process = "game.exe",
                        int width = 10, int height = 10, float threshold = 0f, int cooldownMs = 0,
                        float margin = 0f)
        {
            CommandBuilder.Add(name, path, process, 0, 0, width, height, threshold, cooldownMs,
                               margin, 0f);
        }

        static void Refused(TestDelegate call, string parameter, string because)
        {
            var error = Assert.Throws(Is.InstanceOf<ArgumentException>(), call) as ArgumentException;
            Assert.That(error.ParamName, Is.EqualTo(parameter));
            StringAssert.Contains(because, error.Message);
        }

        [Test]
        public void TextFieldsMustFitTheirFieldsWhole()
        {
            Refused(() => Add(process: Units(17)), "processName", "has 17 UTF-16 units; its field in the command slot holds 16");
            Refused(() => Add(name: Units(31) + ":x"), "name", "has 33 UTF-16 units");
            Refused(() => Add(path: Units(65)), "path", "holds 64");
            Refused(() => Add(path: ""), "path", "path is empty");
            Refused(() => Add(process: null), "processName", "");
            Refused(() => Add(path: "a\0b.png"), "path", "NUL character at index 1");
            Refused(() => Add(name: "ok" + '\uD83D'), "name", "unpaired surrogate at index 2");
            Refused(() => Add(name: '\uDE00' + "ok"), "name", "unpaired surrogate at index 0");

            // Full fields are taken, up to the last unit.
            CommandSlot slot = CommandBuilder.Add(Units(30, 'a') + ":b", Units(64, 'p'), Units(16, 'g'),
                                                  0, 0, 1, 1, 0f, 0, 0f, 0f);
            unsafe
            {
                Assert.That(new string(slot.Name, 0, 32), Is.EqualTo(Units(30, 'a') + ":b"));
                Assert.That(new string(slot.Path, 0, 64), Is.EqualTo(Units(64, 'p')));
                Assert.That(new string(slot.ProcessName, 0, 16), Is.EqualTo(Units(16, 'g')));
                Assert.That(slot.RoiWidth, Is.EqualTo(1));
            }
        }

        [Test]
        public void TheNameHitsCarryMustFitTheHitRing()
        {
            // Hits carry the part before the first ':', at most 30 units.
            Add(name: Units(30));
            Add(name: Units(28) + "\U0001F600");  // 30 units, the last two a surrogate pair
            Add(name: Units(30) + ":k");
            Refused(() => Add(name: Units(31)), "name", "only the first 30 of the 31 UTF-16 units");
            Refused(() => Add(name: Units(32)), "name", "of the 32 UTF-16 units");
            Refused(() => Add(name: Units(29) + "\U0001F600"), "name", "of the 31 UTF-16 units");
            Refused(() => Add(name: ":badge"), "name", "its hits would carry an empty name");
            Refused(() => Add(name: "__hb__:CMD"), "name", "taken for the worker's heartbeats");
            Add(name: "__ver__:x");  // its hits are named "__ver__", which no process message is

            Assert.That(TavrikClient.HitNameOf("t2:chest:gold"), Is.EqualTo("t2"));
            Assert.That(TavrikClient.HitNameOf("badge"), Is.EqualTo("badge"));

            // A template that another client registered under a longer name can still be removed.
            unsafe
            {
                CommandSlot remove = CommandBuilder.Remove(Units(32));
                Assert.That(new string(remove.Name, 0, 32), Is.EqualTo(Units(32)));
                Assert.That(remove.CommandType, Is.EqualTo((int)CommandType.Remove));
            }
            Refused(() => CommandBuilder.Remove(Units(33)), "name", "holds 32");
        }

        [Test]
        public void NumbersTheWorkerWouldChangeAreRefused()
        {
            Refused(() => Add(width: 0), "roiWidth", "at least 1");
            Refused(() => Add(height: -5), "roiHeight", "at least 1");
            Refused(() => Add(threshold: 1.5f), "threshold", "at most 1");
            Refused(() => Add(threshold: float.NaN), "threshold", "at most 1");
            Refused(() => Add(cooldownMs: -1), "cooldownMs", "must not be negative");
            Refused(() => Add(margin: float.PositiveInfinity), "baselineMargin", "finite");
            Refused(() => new TemplateSpec { Cooldown = TimeSpan.FromTicks(-1) }.ToSlot(), "Cooldown",
                    "must not be negative");
            Refused(() => new TemplateSpec { Cooldown = TimeSpan.FromDays(25) }.ToSlot(), "Cooldown",
                    "at most 2147483647 ms");
            // The worker's default threshold is asked for with 0 or less.
            Add(threshold: 0f);
            Add(threshold: -1f);
            Add(threshold: 1f);
        }
    }
}
