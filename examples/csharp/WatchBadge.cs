// Attaches to the running Tavrik worker, registers the demo's "OK" badge on the demo's window,
// prints every decision for a few seconds, and removes the template again.
//
//   mono WatchBadge.exe BADGE_PNG [SECONDS]      (badge.png: tavrik-demo --write-templates DIR)
using System;
using System.IO;
using System.Threading;
using Tavrik.Client;

static class WatchBadge
{
    static int Main(string[] args)
    {
        if (args.Length < 1 || args.Length > 2)
        {
            Console.Error.WriteLine("usage: WatchBadge BADGE_PNG [SECONDS]");
            return 2;
        }
        int seconds = args.Length == 2 ? int.Parse(args[1]) : 5;
        try
        {
            using (TavrikClient client = TavrikClient.Open())
            {
                Console.WriteLine("worker version " + client.Version(TimeSpan.FromSeconds(2)));
                // The worker resolves relative paths from its own folder, so pass an absolute one.
                client.AddTemplate("badge:ok", Path.GetFullPath(args[0]), "tavrik-demo",
                                   0, 0, 480, 320, threshold: 0.9f, cooldownMs: 500);
                using (var stop = new CancellationTokenSource(TimeSpan.FromSeconds(seconds)))
                {
                    try
                    {
                        foreach (HitMessage message in client.ReadHits(stop.Token))
                        {
                            if (message.Kind == HitMessageKind.Result)
                                Console.WriteLine(message);
                        }
                    }
                    catch (OperationCanceledException)
                    {
                    }
                    finally
                    {
                        client.Remove("badge:ok");
                    }
                }
            }
            return 0;
        }
        catch (WorkerNotRunningException e)
        {
            Console.Error.WriteLine(e.Message);
            return 3;
        }
    }
}
