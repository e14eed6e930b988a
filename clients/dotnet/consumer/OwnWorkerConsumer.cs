// A program built the way a user interface is built from the full Tavrik.Client package: it
// starts a worker of its own (found beside itself, or given as the first argument), asks it for a
// heartbeat and its version through the asynchronous API, and stops it.
//
//   OwnWorkerConsumer.exe [WORKER] [--hold]
// With --hold it prints the worker's process id and waits to be killed instead, so that a test can
// check that a dead UI takes its worker with it.
//
// Exit codes: 0 answered, 1 it did not, 2 the worker could not be started.
using System;
using System.Threading;
using System.Threading.Tasks;
using Tavrik.Client;

internal static class OwnWorkerConsumer
{
    private static int Main(string[] args)
    {
        var options = new WorkerOptions();
        bool hold = false;
        foreach (string arg in args)
        {
            if (arg == "--hold")
                hold = true;
            else
                options.Path = arg;
        }
        try
        {
            using (TavrikWorker worker = TavrikWorker.Start(options))
            using (TavrikClient client = worker.OpenClient())
            {
                if (hold)
                {
                    Console.WriteLine(worker.ProcessId);
                    Console.Out.Flush();
                    Thread.Sleep(Timeout.Infinite);
                }
                return Talk(client).GetAwaiter().GetResult();
            }
        }
        catch (Exception e) when (e is TavrikException || e is System.IO.FileNotFoundException
                                  || e is TimeoutException)
        {
            Console.Error.WriteLine(e.Message);
            return 2;
        }
    }

    private static async Task<int> Talk(TavrikClient client)
    {
        using (var patience = new CancellationTokenSource(TimeSpan.FromSeconds(10)))
        {
            if (!await client.HeartbeatAsync(patience.Token))
            {
                Console.Error.WriteLine("the worker did not answer the heartbeat");
                return 1;
            }
            Console.WriteLine("worker version: " + await client.VersionAsync(patience.Token));
            return 0;
        }
    }
}
