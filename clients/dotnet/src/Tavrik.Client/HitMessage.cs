// One message of the hit ring, copied out of its slot: a detection result, a heartbeat or the
// worker's version. Immutable; safe to share between threads.
using System;
using System.Globalization;

namespace Tavrik.Client
{
    /// <summary>What a hit-ring message is.</summary>
    public enum HitMessageKind
    {
        /// <summary>A decided evaluation of a template: a hit or a miss.</summary>
        Result,
        /// <summary>"__hb__:CMD" answering a heartbeat, "__hb__:IDLE" every 5 s while idle.</summary>
        Heartbeat,
        /// <summary>"__ver__:0.2.4" at the worker's start and in answer to a version request.</summary>
        Version,
    }

    /// <summary>One message of the hit ring: a decision, a heartbeat or a version.</summary>
    public sealed class HitMessage
    {
        internal HitMessage(long timestampMs, int posX, int posY, int roiWidth, int roiHeight,
                            bool isHit, float score, float threshold, float baseline, string name)
        {
            TimestampMs = timestampMs;
            PosX = posX;
            PosY = posY;
            RoiWidth = roiWidth;
            RoiHeight = roiHeight;
            IsHit = isHit;
            Score = score;
            Threshold = threshold;
            Baseline = baseline;
            Name = name;
            if (name.StartsWith("__ver__:", StringComparison.Ordinal))
                Kind = HitMessageKind.Version;
            else if (name == "__hb__" || name.StartsWith("__hb__:", StringComparison.Ordinal))
                Kind = HitMessageKind.Heartbeat;
            else
                Kind = HitMessageKind.Result;
        }

        internal static unsafe HitMessage FromSlot(HitSlot slot)
        {
            int length = 0;
            while (length < RingGeometry.NameUnits && slot.Name[length] != '\0')
                ++length;
            return new HitMessage(slot.TimestampMs, slot.PosX, slot.PosY, slot.RoiWidth,
                                  slot.RoiHeight, slot.IsHit != 0, slot.Score, slot.Threshold,
                                  slot.Baseline, new string(slot.Name, 0, length));
        }

        /// <summary>A decision, a heartbeat or a version.</summary>
        public HitMessageKind Kind { get; private set; }

        /// <summary>
        /// For a result, the template's name before its first ':' (see
        /// <see cref="TavrikClient.HitNameOf"/>); otherwise the heartbeat or version text.
        /// </summary>
        public string Name { get; private set; }

        /// <summary>Wall-clock time of the message, milliseconds since 1970-01-01 UTC.</summary>
        public long TimestampMs { get; private set; }

        /// <summary>The wall-clock time of the message.</summary>
        public DateTimeOffset Time
        {
            get { return DateTimeOffset.FromUnixTimeMilliseconds(TimestampMs); }
        }

        /// <summary>True for a hit; false for a miss and for heartbeat and version messages.</summary>
        public bool IsHit { get; private set; }

        /// <summary>Left of the best match, relative to the target's client area.</summary>
        public int PosX { get; private set; }
        /// <summary>Top of the best match, relative to the target's client area.</summary>
        public int PosY { get; private set; }

        /// <summary>Width of the template's region of interest.</summary>
        public int RoiWidth { get; private set; }
        /// <summary>Height of the template's region of interest.</summary>
        public int RoiHeight { get; private set; }

        /// <summary>The best match's score, at most 1.</summary>
        public float Score { get; private set; }
        /// <summary>The threshold the score was compared with.</summary>
        public float Threshold { get; private set; }
        /// <summary>The template's baseline score.</summary>
        public float Baseline { get; private set; }

        /// <summary>"HIT badge score=... threshold=... baseline=... pos=(x,y) roi=WxH", or the
        /// heartbeat or version text.</summary>
        public override string ToString()
        {
            if (Kind != HitMessageKind.Result)
                return Name;
            return string.Format(CultureInfo.InvariantCulture,
                                 "{0} {1} score={2} threshold={3} baseline={4} pos=({5},{6}) roi={7}x{8}",
                                 IsHit ? "HIT" : "MISS", Name, Score, Threshold, Baseline, PosX, PosY,
                                 RoiWidth, RoiHeight);
        }
    }
}
