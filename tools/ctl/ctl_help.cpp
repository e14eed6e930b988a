// The help pages of tavrik-ctl and its probe, in one place so that the parsers stay short and the
// pages read as a whole.
#include "tools/ctl/ctl_help.h"

namespace tavrik::ctl {
namespace {

const char kOverview[] =
    R"(tavrik-ctl - send commands to a running Tavrik worker and read what it reports.

Usage: tavrik-ctl COMMAND [OPTIONS]
       tavrik-ctl help [COMMAND]      (or: tavrik-ctl COMMAND --help)
       tavrik-ctl --version           (tavrik-ctl's own version)

Commands:
  add        register (or replace) a template spec
  remove     unregister a template spec by name
  clear      unregister every template spec
  heartbeat  ask the worker for a heartbeat and print its reply (__hb__:CMD)
  version    ask the worker for its version and print its reply (__ver__:...)
  watch      print hit-ring messages as JSON, one object per line
  status     say whether a worker runs and print the headers of both rings
  probe      evaluate one template against a screenshot or a live window in this process,
             with the worker's own code, and show how the decision came about (no worker
             needed; see tavrik-ctl probe --help for its options and exit codes)

tavrik-ctl never creates the rings: it opens the ones a running worker made. A worker holds a
lock for its whole life, and every command but probe looks at it first: when it is free, the
command says "no worker is running in namespace ..." and exits 3, whatever ring objects an
earlier worker left behind. Commands that publish wait for a free command slot (the ring holds
64) and fail when none frees up in time. Concurrent tavrik-ctl processes take turns through an
advisory lock.

Environment:
  TAVRIK_IPC_NAMESPACE  namespace of the shared-memory objects (POSIX only). When set and not
                        empty, the objects are /<ns>-CmdRingMMF, /<ns>-CmdRingEvent,
                        /<ns>-HitRingMMF and /<ns>-HitRingEvent, and the worker locks the
                        file <ns>-TavrikWorkerLock; otherwise <ns> is tavrik-<uid>. 1 to 64
                        ASCII letters, digits, '.', '_' or '-', not starting with '.';
                        anything else is refused (exit code 1). Must match the worker's.
  XDG_RUNTIME_DIR       where the worker's lock file is (POSIX only): this directory when it
                        is the user's own and closed to others, else /dev/shm. Must match the
                        worker's.
  On Windows the objects are Local\CmdRingMMF and so on (the lock is the mutex
  Local\TavrikWorkerLock), and both variables are ignored.

  WAYLAND_DISPLAY       when set (a Wayland session), status says that only X11 windows
                        (XWayland applications) can be found and captured.

Exit codes:
  0  success
  1  other failure (for example a ring that exists but is too small, or add --check on a
     template the worker could not load)
  2  usage error (unknown command or option, bad value, text too long for its field)
  3  either no worker: its lock is free (status too, even when the rings are there), or
     the rings do not exist; or a timeout: no command slot freed up, or the producer lock
     was not free, within --timeout (add, remove, clear, heartbeat, version), no reply came
     within --timeout (heartbeat, version), or fewer than --count messages came within
     --timeout (watch). The message on standard error says which.
  probe has codes of its own (see tavrik-ctl probe --help).

Examples:
  Watch the demo (scripts/demo.sh starts a worker and the demo window):
    $ tavrik-ctl watch --timeout 10
  Check a template, then add it for the demo window:
    $ tavrik-ctl add --check --name badge:ok --path ~/.local/share/tavrik/badge.png --roi 0,0,480,320
    $ tavrik-ctl add --name badge:ok --path badge.png --process tavrik-demo --roi 0,0,480,320 --threshold 0.9
  Probe the live window, with a picture of the decision and a heat map of the scores:
    $ tavrik-ctl probe --name badge:ok --template badge.png --process tavrik-demo --roi 0,0,480,320 --out probe.png --heatmap heat.png
  Status in a script:
    $ tavrik-ctl status >/dev/null 2>&1; case $? in 0) echo running ;; 3) echo "no worker" ;; *) echo error ;; esac
    $ tavrik-ctl status --json
)";

const char kAddHelp[] =
    R"(Usage: tavrik-ctl add --name NAME --path FILE --roi X,Y,W,H [OPTIONS]

Registers a template spec; a spec with the same name is replaced.

  --name NAME             spec name, at most 32 UTF-16 units (required, not empty). The part
                          before the first ':' picks the kind (t1, t2, t3). Hit messages carry
                          names of at most 30 units; keep names that short to see them whole.
  --path FILE             template image, at most 64 UTF-16 units (required). A relative path
                          is found by the worker, not here: it looks in its own directory and
                          each one above it, then (Linux) in ~/.local/share/tavrik and
                          /usr/local/share/tavrik, /usr/share/tavrik. tavrik-ctl warns when a
                          relative path names a file in the current directory that the worker
                          will not find there, assuming the worker is installed beside it.
  --process IMAGE         image name of the target process, e.g. game.exe; at most 16 UTF-16
                          units (default: empty, no target window)
  --roi X,Y,W,H           region of interest relative to the target's client area, four
                          integers (required); a width or height below 1 is raised to 1 by
                          the worker (with a warning here)
  --threshold T           match threshold; 0 or omitted lets the worker use its default
  --cooldown-ms MS        pause between evaluations of this spec, integer (default 0)
  --baseline-margin M     baseline margin (default 0)
  --spare V               spare value carried in the slot (default 0)
  --timeout SECONDS       how long to wait for a free command slot (default 5)
  --check                 publish nothing: load and prepare the template here with the
                          worker's code, and print its size, kind, stored threshold, mask
                          coverage and colour means (exit 1 when the worker could not load it);
                          a file named NAME@<factor>x.<ext> also gets a scale= line: the
                          window's DPI (the window is looked up) and the size after scaling

Texts are taken as UTF-8 and sent as UTF-16; a text that does not fit its field is refused,
never shortened.
)";

const char kRemoveHelp[] =
    R"(Usage: tavrik-ctl remove NAME [--timeout SECONDS]

Unregisters the spec called NAME (exact match, at most 32 UTF-16 units). Removing a name that
is not registered does nothing.
  --timeout SECONDS   how long to wait for a free command slot (default 5)
)";

const char kClearHelp[] =
    R"(Usage: tavrik-ctl clear [--timeout SECONDS]

Unregisters every spec.
  --timeout SECONDS   how long to wait for a free command slot (default 5)
)";

const char kHeartbeatHelp[] =
    R"(Usage: tavrik-ctl heartbeat [--timeout SECONDS] [--drain]

Sends a heartbeat request and waits for the worker's reply in the hit ring, then prints the
reply's name (__hb__:CMD). The hit ring belongs to its reader (the user interface): tavrik-ctl
only looks for the reply, consuming nothing. When the ring is full (64 messages nobody read),
the worker cannot store the reply, and tavrik-ctl says so.
  --timeout SECONDS   how long to wait for room and for the reply (default 5); exit code 3
                      when it runs out
  --drain             consume every pending message first; only for a ring no UI reads
)";

const char kVersionHelp[] =
    R"(Usage: tavrik-ctl version [--timeout SECONDS] [--drain]

Sends a version request and waits for the worker's reply in the hit ring, then prints the
reply's name (__ver__: followed by the version). As heartbeat, it only looks for the reply and
consumes nothing; a full ring is reported.
  --timeout SECONDS   how long to wait for room and for the reply (default 5); exit code 3
                      when it runs out
  --drain             consume every pending message first; only for a ring no UI reads
)";

const char kWatchHelp[] =
    R"(Usage: tavrik-ctl watch [--count N] [--timeout SECONDS]

Consumes hit-ring messages and prints each as one JSON object per line, with the keys
timestampMs, posX, posY, roiWidth, roiHeight, isHit, score, threshold, baseline and name.
Numbers that are not finite are printed as null. Another reader of the hit ring (the user
interface) will not see the messages consumed here.
  --count N           stop after N messages (exit 0)
  --timeout SECONDS   stop after SECONDS; exit 0 without --count, exit 3 when fewer than N
                      messages arrived
Without either option, watch runs until interrupted.
)";

const char kStatusHelp[] =
    R"(Usage: tavrik-ctl status [--json]

Says whether a worker runs ("worker: running", or "no worker is running in namespace ..."),
then prints the headers of the command ring and the hit ring when they exist: writeIndex,
readIndex, droppedCount, headerReserved and the number of pending messages (writeIndex -
readIndex). In a Wayland session (WAYLAND_DISPLAY set) a last line "session: ..." says that
only X11 windows (XWayland applications) can be found and captured. Reads only. Exits 3 when no
worker runs, even when the rings are there.
  --json   one JSON object instead of readable lines (namespace, workerRunning, then cmdRing
           and hitRing when the rings exist, and session in a Wayland session)
)";

const char kProbeHelp[] =
    R"(Usage: tavrik-ctl probe --name NAME --template FILE [--threshold T]
                        (--image FILE [--roi X,Y,W,H] | --process IMAGE --roi X,Y,W,H)
                        [--out FILE] [--heatmap FILE] [--json] [--exit-code]

Runs one evaluation of a template in this process, with the worker's own preparation, scoring,
colour and decision code, and prints how the decision came about. No worker is needed.

  --name NAME         the name the template would be registered under (required). The part
                      before the first ':' picks the kind (t1, t2, t3), and with it the matching
                      method and the decision rules, as in the worker.
  --template FILE     template image (required); a relative path is taken from the current
                      directory (add resolves it from the worker's directory instead). A file
                      named NAME@<factor>x.<ext> (factor 0.5 to 4) declares the scale it was cut
                      at: with --process it is resized to the window's DPI as the worker does
                      (scale= tells how; --heatmap shows the scaled template); a screenshot has
                      no DPI, so with --image it is used as cut.
  --threshold T       match threshold, same rules as add: 0 or omitted means 0.9, kind t2
                      always uses 0.97, kind t3 is clamped to 0..1
  --image FILE        evaluate a screenshot file instead of the screen
  --roi X,Y,W,H       with --image: the part of the screenshot to evaluate (default: all of it;
                      it must lie inside the image). With --process: the region relative to the
                      target window's client area, as given to add (required). As with add, a
                      width or height below 1 is raised to 1, with a warning.
  --process IMAGE     capture live: find the first visible window of the process with this image
                      name (e.g. game.exe) the way the worker does, raise it, and capture the ROI
                      at its client origin
  --out FILE          write a picture of the decision: the evaluated region with its edge
                      outlined, the best match framed (green for a hit, red for a miss) and a
                      caption with the name, score, threshold, decision and reason; the extension
                      picks the format (e.g. .png)
  --heatmap FILE      write the score of every placement as a colour map (blue low, red high),
                      with the placements at or above the threshold outlined and the best one
                      marked: how distinct is the match?
  --json              print every figure as one JSON object instead of key=value lines (the
                      worker's line under "line")
  --exit-code         exit 4 when the decision is a miss (default: 0 for a hit and a miss)

Output: one key=value per line (name, kind, method, threshold, raw, baseline, colorPen, satAdj,
score, adj, decision, reason, matchLoc, pos, abs, then the colours that colorPen and satAdj
compare) and, last, the [HIT] or [MISS] line the worker would log for this evaluation. With
--image the window origin is (0,0), so pos and abs are positions in the screenshot.

Exit codes:
  0  evaluated (hit or miss; see --exit-code)
  1  the capture or the evaluation failed, or a picture could not be written
  2  usage error, or the template or the screenshot cannot be read
  3  no visible window of the --process was found (nothing was captured)
  4  with --exit-code: evaluated, and the decision was a miss
)";

struct Page {
  std::string_view topic;
  const char* text;
};
constexpr Page kPages[] = {
    {"", kOverview},           {"help", kOverview},   {"add", kAddHelp},
    {"remove", kRemoveHelp},   {"clear", kClearHelp}, {"heartbeat", kHeartbeatHelp},
    {"version", kVersionHelp}, {"watch", kWatchHelp}, {"status", kStatusHelp},
    {"probe", kProbeHelp},
};

}  // namespace

std::string_view HelpText(std::string_view topic) {
  for (const Page& page : kPages) {
    if (page.topic == topic) return page.text;
  }
  return {};
}

}  // namespace tavrik::ctl
