// The C# binding end to end on Mono: a version 3 block through VistrelHost, vistrel started from
// beside the library, the numbered test pictures from a file (csharp_test_helper frames), a key
// clip, the stop with its exit code, and the binding's errors as exceptions with the library's
// codes. csharp_test_helper check then reads the clip back frame by frame.
//
//   mono VistrelHostTest.exe FRAMES OUT WIDTH HEIGHT COUNT
using System;
using System.IO;
using System.Threading;
using Vistrel;

internal static class VistrelHostTest
{
    private static int failures;

    private static void Expect(bool condition, string what)
    {
        if (condition) return;
        Console.Error.WriteLine("failed: " + what);
        ++failures;
    }

    private static void ExpectCode(int code, Action call, string what)
    {
        try
        {
            call();
            Expect(false, what + ": no exception");
        }
        catch (VistrelHostException e)
        {
            Expect(e.Code == code, what + ": code " + e.Code + ", expected " + code);
        }
    }

    private static int Main(string[] args)
    {
        string frames = args[0], folder = args[1];
        uint width = uint.Parse(args[2]), height = uint.Parse(args[3]);
        int count = int.Parse(args[4]);
        int frameBytes = (int)(width * height * 4);
        byte[] all = File.ReadAllBytes(frames);
        Expect(all.Length == frameBytes * count, "the frames file holds " + count + " frames");

        Expect(VistrelHost.Version.Split('.').Length == 3, "version " + VistrelHost.Version);
        ExpectCode(-7, () => new VistrelHost(folder, new VistrelHostOptions { Width = width + 1 }), "odd width");

        var options = new VistrelHostOptions
        {
            Width = width,
            Height = height,
            FrameRateNumerator = 30,
            FrameRateDenominator = 1,
            ClockFrequency = 10000000,
        };
        using (var host = new VistrelHost(folder, options))
        {
            ExpectCode(-9, () => new VistrelHost(folder, options), "a second handle");
            host.Start();
            ExpectCode(-11, () => host.Start(), "started twice");
            // No time limits of their own: a slow machine takes longer, a stuck run ends at ctest's.
            while (host.Status == 0) Thread.Sleep(10);
            Expect(host.Status == 1, "status " + host.Status);
            bool alive = false;
            for (int i = 0; i < 1000 && !alive; ++i)
            {
                alive = host.IsAlive(60000);
                Thread.Sleep(10);
            }
            Expect(alive, "alive while running");

            byte[] frame = new byte[frameBytes];
            for (int n = 0; n < count; ++n)
            {
                Buffer.BlockCopy(all, n * frameBytes, frame, 0, frameBytes);
                long time = n * 10000000L / 30;
                while (!host.SubmitFrame(frame, 0, time)) Thread.Sleep(1);
            }
            ExpectCode(-4, () => host.SubmitFrame(frame, 0, 0), "a time that goes back");
            ExpectCode(-3, () => host.SubmitFrame(new byte[frameBytes - 1], 0, count * 10000000L), "a short frame");
            ExpectCode(-5, () => host.RequestClip((ClipKind)4), "kind 4");
            ExpectCode(-8, () => host.SubmitAudio(new short[960], 0), "sound without sound");
            while (host.FramesTaken < (ulong)count) Thread.Sleep(10);

            // A key clip is saved at once; asked again while the encoder has given no keyframe yet.
            for (int attempt = 0; attempt < 60 && Directory.GetFiles(folder, "clip_*.mp4").Length == 0; ++attempt)
            {
                host.RequestClip(ClipKind.Key);
                for (int i = 0; i < 100 && Directory.GetFiles(folder, "clip_*.mp4").Length == 0; ++i) Thread.Sleep(20);
            }
            Expect(Directory.GetFiles(folder, "clip_*_key.mp4").Length >= 1, "a key clip");

            int code = -1;
            while (!host.Stop(1000, out code)) { }
            Expect(code == 0, "exit code " + code);
            Expect(!host.IsAlive(60000), "not alive after the stop");
            ExpectCode(-6, () => host.SubmitFrame(frame, 0, count * 10000000L), "a frame after the stop");
            ExpectCode(-6, () => host.SetRecord(true), "the record switch after the stop");
        }

        if (failures > 0)
        {
            Console.Error.WriteLine(failures + " failed");
            return 1;
        }
        Console.WriteLine("C# binding " + VistrelHost.Version + ": passed");
        return 0;
    }
}
