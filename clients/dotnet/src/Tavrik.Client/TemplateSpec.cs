// A template to register, as named properties: the fields of an add command. Plain data; checked
// when it is published (TavrikClient.AddTemplate, AddTemplateAsync), not when it is set.
//
// Threads: like any mutable object, one thread at a time; a client copies it when publishing.
using System;

namespace Tavrik.Client
{
    /// <summary>
    /// What <see cref="TavrikClient.AddTemplateAsync(TemplateSpec, System.Threading.CancellationToken)"/>
    /// registers: a named image searched for in a region of a process's window.
    /// </summary>
    public sealed class TemplateSpec
    {
        /// <summary>1 to 32 UTF-16 units; the part before the first ':' is the template's kind
        /// ("t1", "t2", "t3", or any other) and the name its hits carry (1 to 30 units).</summary>
        public string Name { get; set; }

        /// <summary>The template image, 1 to 64 units; absolute, or relative to the worker's
        /// search folders.</summary>
        public string Path { get; set; }

        /// <summary>Image name of the target process ("game.exe" or "game", any case), 1 to 16
        /// units.</summary>
        public string ProcessName { get; set; }

        /// <summary>Left of the region of interest, relative to the target's client area.</summary>
        public int RoiX { get; set; }

        /// <summary>Top of the region of interest, relative to the target's client area.</summary>
        public int RoiY { get; set; }

        /// <summary>Width of the region of interest; at least 1.</summary>
        public int RoiWidth { get; set; }

        /// <summary>Height of the region of interest; at least 1.</summary>
        public int RoiHeight { get; set; }

        /// <summary>At most 1; 0 (the default) asks for the worker's default, 0.9. Kind "t2" always
        /// uses 0.97.</summary>
        public float Threshold { get; set; }

        /// <summary>Least time between two evaluations; not negative, at most about 24 days;
        /// rounded up to whole milliseconds. Zero evaluates the template on every pass.</summary>
        public TimeSpan Cooldown { get; set; }

        /// <summary>Shown in the worker's log.</summary>
        public float BaselineMargin { get; set; }

        /// <summary>Carried to the worker, not used by it.</summary>
        public float Spare { get; set; }

        internal CommandSlot ToSlot()
        {
            if (Cooldown < TimeSpan.Zero)
                throw new ArgumentOutOfRangeException(
                    "Cooldown", Cooldown, "Cooldown must not be negative (zero evaluates the "
                                              + "template on every pass)");
            double milliseconds = Math.Ceiling(Cooldown.TotalMilliseconds);
            if (milliseconds > int.MaxValue)
                throw new ArgumentOutOfRangeException(
                    "Cooldown", Cooldown, "Cooldown must be at most " + int.MaxValue
                                              + " ms, the command slot's limit");
            return CommandBuilder.Add(Name, Path, ProcessName, RoiX, RoiY, RoiWidth, RoiHeight,
                                      Threshold, (int)milliseconds, BaselineMargin, Spare);
        }
    }
}
