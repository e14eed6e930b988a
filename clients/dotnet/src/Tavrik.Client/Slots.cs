// The byte layouts of the two rings, exactly as the worker maps them.
//
// Explicit layouts pin every field to its offset, so that a slot can be written into (or copied
// out of) the shared mapping as one struct assignment. Text fields are fixed-width UTF-16: a C#
// char is one UTF-16 unit, so the buffers hold the units as they travel. All numbers are
// little-endian; the library refuses to run on a big-endian machine (TavrikClient.Open).
//
// Plain data with no locking of its own; the ring classes decide who may touch which bytes.
using System.Runtime.InteropServices;

namespace Tavrik.Client
{
    /// <summary>Command codes of a command slot.</summary>
    internal enum CommandType
    {
        Add = 1,
        Remove = 2,
        Clear = 3,
        Heartbeat = 4,
        Version = 5,
    }

    internal static class RingGeometry
    {
        public const int SlotCount = 64;
        public const int SlotMask = SlotCount - 1;
        public const int HeaderBytes = 16;
        public const int CommandSlotBytes = 320;
        public const int HitSlotBytes = 132;
        public const int CommandRingBytes = HeaderBytes + SlotCount * CommandSlotBytes;  // 20496
        public const int HitRingBytes = HeaderBytes + SlotCount * HitSlotBytes;  // 8464

        public const int ProcessNameUnits = 16;
        public const int NameUnits = 32;
        public const int PathUnits = 64;
        // The worker stores at most 30 units of a hit's name; units 30 and 31 stay zero.
        public const int HitNameUnits = 30;

        // Byte offsets of the header fields.
        public const int WriteIndexOffset = 0;
        public const int ReadIndexOffset = 4;
        public const int DroppedCountOffset = 8;
    }

    /// <summary>One command slot, 320 bytes: the client writes it, the worker reads it.</summary>
    [StructLayout(LayoutKind.Explicit, Size = RingGeometry.CommandSlotBytes)]
    internal unsafe struct CommandSlot
    {
        [FieldOffset(0)] public int CommandType;
        [FieldOffset(4)] public int CooldownMs;
        [FieldOffset(8)] public float BaselineMargin;
        [FieldOffset(12)] public fixed char ProcessName[RingGeometry.ProcessNameUnits];
        [FieldOffset(44)] public fixed char Name[RingGeometry.NameUnits];
        [FieldOffset(108)] public fixed char Path[RingGeometry.PathUnits];
        [FieldOffset(236)] public int RoiX;
        [FieldOffset(240)] public int RoiY;
        [FieldOffset(244)] public int RoiWidth;
        [FieldOffset(248)] public int RoiHeight;
        [FieldOffset(252)] public float Threshold;
        [FieldOffset(256)] public float Spare;
        // 260..319: reserved, left zero by a default-constructed slot.
    }

    /// <summary>One hit slot, 132 bytes: the worker writes it, the client reads it.</summary>
    /// <remarks>
    /// Every other slot's 64-bit time stamp sits on a 4-byte boundary only; slots are copied out
    /// of the mapping as a whole, which has no alignment requirement.
    /// </remarks>
    [StructLayout(LayoutKind.Explicit, Size = RingGeometry.HitSlotBytes)]
    internal unsafe struct HitSlot
    {
        [FieldOffset(0)] public long TimestampMs;
        [FieldOffset(8)] public int PosX;
        [FieldOffset(12)] public int PosY;
        [FieldOffset(16)] public int RoiWidth;
        [FieldOffset(20)] public int RoiHeight;
        [FieldOffset(24)] public uint IsHit;
        // 28..31: reserved.
        [FieldOffset(32)] public float Score;
        [FieldOffset(36)] public float Threshold;
        [FieldOffset(40)] public float Baseline;
        [FieldOffset(44)] public fixed char Name[RingGeometry.NameUnits];
        // 108..131: reserved.
    }
}
