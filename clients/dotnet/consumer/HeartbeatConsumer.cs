// A program built the way a user interface is built from the Tavrik.Client package: it references
// only the package's assembly. It asks the running worker for a heartbeat, then takes the answer
// from the hit ring as that ring's reader, and prints it with the worker's version.
//
// Exit codes: 0 the answer was read, 1 it was not, 3 no worker runs (as tavrik-ctl).
using System;
using System.Threading;
using Tavrik.Client;

internal static class HeartbeatConsumer
{
    private static int Main()
    {
        TimeSpan patience = TimeSpan.FromSeconds(10);
        try
        {
            using (TavrikClient client = TavrikClient.Open())
            {
                if (!client.Heartbeat(patience))
                {
                    Console.Error.WriteLine("the worker did not answer the heartbeat");
                    return 1;
                }
                using (var stop = new CancellationTokenSource(patience))
                {
                    foreach (HitMessage message in client.ReadHits(stop.Token))
                    {
                        if (message.Kind == HitMessageKind.Heartbeat && message.Name == "__hb__:CMD")
                        {
                            Console.WriteLine("heartbeat: " + message);
                            Console.WriteLine("worker version: " + client.Version(patience));
                            return 0;
                        }
                    }
                }
            }
        }
        catch (WorkerNotRunningException e)
        {
            Console.Error.WriteLine(e.Message);
            return 3;
        }
        catch (OperationCanceledException)
        {
        }
        Console.Error.WriteLine("the heartbeat's answer was not in the hit ring");
        return 1;
    }
}
