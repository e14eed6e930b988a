// Turns the arguments of TavrikClient's commands into command slots, refusing anything the
// worker would silently cut, replace or reinterpret.
//
// The worker takes every slot it is given: text without a terminator is read to the end of its
// field, a NUL ends a text early, a width below 1 is raised to 1. A UI developer would only notice
// such a change by a template that never hits, so every field is checked here and a wrong one
// raises an ArgumentException naming the field, the value and the rule.
//
// Pure functions; safe from any thread.
using System;

namespace Tavrik.Client
{
    internal static class CommandBuilder
    {
        public static CommandSlot Add(string name, string path, string processName, int roiX,
                                      int roiY, int roiWidth, int roiHeight, float threshold,
                                      int cooldownMs, float baselineMargin, float spare)
        {
            CheckTemplateName(name, "name");
            CheckText(path, RingGeometry.PathUnits, "path");
            CheckText(processName, RingGeometry.ProcessNameUnits, "processName");
            if (roiWidth < 1)
                throw BelowOne(roiWidth, "roiWidth");
            if (roiHeight < 1)
                throw BelowOne(roiHeight, "roiHeight");
            if (float.IsNaN(threshold) || threshold > 1f)
                throw new ArgumentOutOfRangeException(
                    "threshold", threshold,
                    "threshold must be at most 1 (a score is at most 1); 0 or less asks for the "
                        + "worker's default, 0.9");
            if (cooldownMs < 0)
                throw new ArgumentOutOfRangeException(
                    "cooldownMs", cooldownMs,
                    "cooldownMs must not be negative (0 evaluates the template on every pass)");
            CheckFinite(baselineMargin, "baselineMargin");
            CheckFinite(spare, "spare");

            var slot = new CommandSlot
            {
                CommandType = (int)CommandType.Add,
                CooldownMs = cooldownMs,
                BaselineMargin = baselineMargin,
                RoiX = roiX,
                RoiY = roiY,
                RoiWidth = roiWidth,
                RoiHeight = roiHeight,
                Threshold = threshold,
                Spare = spare,
            };
            unsafe
            {
                Copy(processName, slot.ProcessName);
                Copy(name, slot.Name);
                Copy(path, slot.Path);
            }
            return slot;
        }

        public static CommandSlot Remove(string name)
        {
            // Only the field's own limit: a name of 31 or 32 units that another client registered
            // can still be removed.
            CheckText(name, RingGeometry.NameUnits, "name");
            var slot = new CommandSlot { CommandType = (int)CommandType.Remove };
            unsafe
            {
                Copy(name, slot.Name);
            }
            return slot;
        }

        public static CommandSlot Bare(CommandType type)
        {
            return new CommandSlot { CommandType = (int)type };
        }

        /// <summary>The name that the worker puts into the hits of a template.</summary>
        public static string HitNameOf(string templateName)
        {
            if (templateName == null)
                throw new ArgumentNullException("templateName");
            int colon = templateName.IndexOf(':');
            return colon < 0 ? templateName : templateName.Substring(0, colon);
        }

        static void CheckTemplateName(string name, string parameter)
        {
            CheckText(name, RingGeometry.NameUnits, parameter);
            string hitName = HitNameOf(name);
            if (hitName.Length == 0)
                throw new ArgumentException(
                    Quote(name) + " starts with ':'; its hits would carry an empty name (hits carry "
                        + "the part of the name before the first ':')",
                    parameter);
            if (hitName.Length > RingGeometry.HitNameUnits)
                throw new ArgumentException(
                    "the hits of " + Quote(name) + " would carry only the first "
                        + RingGeometry.HitNameUnits + " of the " + hitName.Length
                        + " UTF-16 units of " + Quote(hitName) + " (hits carry the part of the name "
                        + "before the first ':', at most 30 units); shorten that part",
                    parameter);
            // A hit name never holds a ':', so only a bare "__hb__" can pass for a process
            // message (a heartbeat without a tag).
            if (hitName == "__hb__")
                throw new ArgumentException(
                    Quote(name) + ": its hits would be named \"__hb__\" and taken for the worker's "
                        + "heartbeats",
                    parameter);
        }

        static void CheckText(string text, int units, string parameter)
        {
            if (text == null)
                throw new ArgumentNullException(parameter);
            if (text.Length == 0)
                throw new ArgumentException(parameter + " is empty", parameter);
            if (text.Length > units)
                throw new ArgumentException(
                    parameter + " " + Quote(text) + " has " + text.Length
                        + " UTF-16 units; its field in the command slot holds " + units,
                    parameter);
            for (int i = 0; i < text.Length; ++i)
            {
                char c = text[i];
                if (c == '\0')
                    throw new ArgumentException(
                        parameter + " contains a NUL character at index " + i
                            + "; the worker would end the text there",
                        parameter);
                if (char.IsHighSurrogate(c) && i + 1 < text.Length && char.IsLowSurrogate(text[i + 1]))
                {
                    ++i;
                    continue;
                }
                if (char.IsSurrogate(c))
                    throw new ArgumentException(
                        parameter + " has an unpaired surrogate at index " + i
                            + "; it is not valid UTF-16 and the worker would replace it",
                        parameter);
            }
        }

        static void CheckFinite(float value, string parameter)
        {
            if (float.IsNaN(value) || float.IsInfinity(value))
                throw new ArgumentOutOfRangeException(parameter, value,
                                                      parameter + " must be a finite number");
        }

        static Exception BelowOne(int value, string parameter)
        {
            return new ArgumentOutOfRangeException(
                parameter, value,
                parameter + " must be at least 1 (the worker would raise it to 1, a region of one "
                    + "pixel)");
        }

        static string Quote(string text)
        {
            return "\"" + text + "\"";
        }

        static unsafe void Copy(string text, char* field)
        {
            for (int i = 0; i < text.Length; ++i)
                field[i] = text[i];
        }
    }
}
