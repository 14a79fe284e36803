// VistrelHost.cs: the game's side of vistrel for C# (Unity, Godot, .NET, Mono), over the C host
// library vistrel_host (vistrel_host.dll on Windows, libvistrel_host.so on Linux) through P/Invoke.
//
//   using (var host = new Vistrel.VistrelHost(folder, new Vistrel.VistrelHostOptions { Width = 1920, Height = 1080 }))
//   {
//       host.Start();                                   // vistrel(.exe) beside the library
//       every frame:  host.SubmitFrame(bgra, 0, time);  // false: vistrel still holds the slot; drop the frame
//       a clip:       host.RequestClip(Vistrel.ClipKind.Death);
//       at the end:   int code; host.Stop(10000, out code);
//   }
//
// Errors are exceptions (VistrelHostException, with the library's code): every one of them is a
// fault of the caller or of the machine, never part of the normal flow. The two outcomes that are
// part of it are return values: SubmitFrame gives false while vistrel holds the slot whose turn it
// is, Stop gives false when vistrel has not ended within the time given. The handle is a SafeHandle:
// Dispose (or the finaliser) removes the block, and a vistrel still running is told to stop.
// The calls of one VistrelHost must not run at the same time from several threads.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Vistrel
{
    public enum ClipKind
    {
        Death = 1,
        Kill = 2,
        Key = 3, // saved at once
    }

    public enum PixelFormat : uint
    {
        Bgra = 0,
        Nv12 = 1,
    }

    // The block to create; see vistrel_host.h. All fields 0: the version 2 block (1280 x 720 BGRA at
    // 30 frames a second); any stream or sound field set: version 3, the fields left 0 taking the
    // values of that same stream.
    [StructLayout(LayoutKind.Sequential)]
    public struct VistrelHostOptions
    {
        public long ClockFrequency;       // ticks a second of every time given; 0: 10,000,000; with sound at most 2^40
        public uint Width;                // even, 320..3840
        public uint Height;               // even, 180..2160
        public uint Stride;               // bytes between rows of a slot; 0: the row's bytes
        public uint FrameRateNumerator;   // frames a second = numerator / denominator, 1..240; 0 and 0: 30/1 (set both, e.g. 60 and 1)
        public uint FrameRateDenominator;
        public uint BitRate;              // bit/s, 1,000,000..100,000,000; 0: vistrel chooses
        public PixelFormat PixelFormat;
        public uint Sound;                // 1: the block carries 48 kHz stereo 16-bit sound
        public uint SoundPacketFrames;    // 0: 480
        public uint SoundPacketCount;     // 0: 400
        public uint Log;                  // 1: vistrel writes vistrel.log beside its program
        public uint Record;               // 1: continuous recording from the start
        private uint reserved0, reserved1, reserved2, reserved3, reserved4, reserved5, reserved6, reserved7;
    }

    public sealed class VistrelHostException : Exception
    {
        public int Code { get; private set; }

        public VistrelHostException(string call, int code)
            : base(call + " failed: " + Describe(code) + " (" + code + ")")
        {
            Code = code;
        }

        public static string Describe(int code)
        {
            switch (code)
            {
                case -1: return "null handle";
                case -2: return "null argument";
                case -3: return "buffer shorter than a frame";
                case -4: return "time goes backwards";
                case -5: return "value out of range";
                case -6: return "called after stop";
                case -7: return "options vistrel would refuse";
                case -8: return "the block has no sound";
                case -9: return "the block or event cannot be created, or another handle of this process exists";
                case -10: return "vistrel cannot be started";
                case -11: return "vistrel was started already";
                case -12: return "vistrel was not started";
                case -13: return "internal failure";
                default: return "unknown code";
            }
        }
    }

    internal sealed class VistrelHostHandle : SafeHandle
    {
        public VistrelHostHandle() : base(IntPtr.Zero, true) { }

        public override bool IsInvalid { get { return handle == IntPtr.Zero; } }

        protected override bool ReleaseHandle()
        {
            return Native.vistrel_host_destroy(handle) == Native.Ok;
        }
    }

    internal static class Native
    {
        // libvistrel_host.so or vistrel_host.dll; __cdecl on 32-bit Windows.
        private const string Library = "vistrel_host";
        internal const int Ok = 0, Busy = 1, Timeout = 2;

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr vistrel_host_version();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int vistrel_host_create(byte[] outputFolder, ref VistrelHostOptions options,
                                                       out VistrelHostHandle host);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int vistrel_host_start(VistrelHostHandle host, byte[] vistrelPath);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int vistrel_host_submit_frame(VistrelHostHandle host, byte[] pixels, ulong bytes,
                                                             uint stride, long time);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int vistrel_host_submit_frame(VistrelHostHandle host, IntPtr pixels, ulong bytes,
                                                             uint stride, long time);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int vistrel_host_request_clip(VistrelHostHandle host, int kind);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int vistrel_host_set_record(VistrelHostHandle host, int on);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int vistrel_host_submit_audio(VistrelHostHandle host, short[] pcm, ulong frames,
                                                             long time);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int vistrel_host_stop(VistrelHostHandle host, uint timeoutMs, out int exitCode);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int vistrel_host_read_status(VistrelHostHandle host, out int status,
                                                            out uint heartbeat);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int vistrel_host_alive(VistrelHostHandle host, uint maxAgeMs, out int alive);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int vistrel_host_frames_taken(VistrelHostHandle host, out ulong frames);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int vistrel_host_destroy(IntPtr host);

        // A 0-terminated UTF-8 string, as the library takes every string (whatever the platform's
        // own narrow encoding is).
        internal static byte[] Utf8(string text)
        {
            if (text == null) return null;
            byte[] bytes = new byte[Encoding.UTF8.GetByteCount(text) + 1];
            Encoding.UTF8.GetBytes(text, 0, text.Length, bytes, 0);
            return bytes;
        }
    }

    public sealed class VistrelHost : IDisposable
    {
        private readonly VistrelHostHandle handle;

        // The library's version, "MAJOR.MINOR.PATCH".
        public static string Version
        {
            get { return Marshal.PtrToStringAnsi(Native.vistrel_host_version()); }
        }

        // Creates the block and the event of this process; clips and recordings go to outputFolder.
        public VistrelHost(string outputFolder, VistrelHostOptions options)
        {
            if (outputFolder == null) throw new ArgumentNullException("outputFolder");
            VistrelHostHandle made;
            Check("vistrel_host_create", Native.vistrel_host_create(Native.Utf8(outputFolder), ref options, out made));
            handle = made;
        }

        public VistrelHost(string outputFolder) : this(outputFolder, new VistrelHostOptions()) { }

        // Starts vistrel: the program at vistrelPath, or when null vistrel(.exe) beside the library.
        public void Start(string vistrelPath = null)
        {
            Check("vistrel_host_start", Native.vistrel_host_start(handle, Native.Utf8(vistrelPath)));
        }

        // One frame in the block's pixel format, rows stride bytes apart (0: packed). False while
        // vistrel still holds the slot whose turn it is (the frame was not taken).
        public bool SubmitFrame(byte[] pixels, uint stride, long time)
        {
            if (pixels == null) throw new ArgumentNullException("pixels");
            return Taken("vistrel_host_submit_frame",
                         Native.vistrel_host_submit_frame(handle, pixels, (ulong)pixels.LongLength, stride, time));
        }

        // The same from memory the caller holds (a NativeArray, a mapped read-back buffer).
        public bool SubmitFrame(IntPtr pixels, ulong bytes, uint stride, long time)
        {
            return Taken("vistrel_host_submit_frame", Native.vistrel_host_submit_frame(handle, pixels, bytes, stride, time));
        }

        public void RequestClip(ClipKind kind)
        {
            Check("vistrel_host_request_clip", Native.vistrel_host_request_clip(handle, (int)kind));
        }

        public void SetRecord(bool on)
        {
            Check("vistrel_host_set_record", Native.vistrel_host_set_record(handle, on ? 1 : 0));
        }

        // Sound (a block with Sound = 1): interleaved left, right 16-bit samples at 48 kHz, the first
        // frame at time.
        public void SubmitAudio(short[] pcm, long time)
        {
            if (pcm == null) throw new ArgumentNullException("pcm");
            // A frame is a left and a right sample: half a frame at the end would be dropped unseen.
            if (pcm.LongLength % 2 != 0) throw new ArgumentException("pcm holds left, right pairs: its length must be even", "pcm");
            Check("vistrel_host_submit_audio", Native.vistrel_host_submit_audio(handle, pcm, (ulong)(pcm.LongLength / 2), time));
        }

        // Sets the stop switch and waits at most timeoutMs for vistrel to end: true with its exit code
        // (0 stopped, 3 no working encoder, 4 refused or failed, -1 ended with its code gone to
        // someone else: a process that ignores SIGCHLD), false when it has not ended yet.
        public bool Stop(uint timeoutMs, out int exitCode)
        {
            int r = Native.vistrel_host_stop(handle, timeoutMs, out exitCode);
            if (r == Native.Timeout) return false;
            Check("vistrel_host_stop", r);
            return true;
        }

        // 0 not reported yet, 1 running, 2 failed.
        public int Status
        {
            get
            {
                int status;
                uint heartbeat;
                Check("vistrel_host_read_status", Native.vistrel_host_read_status(handle, out status, out heartbeat));
                return status;
            }
        }

        public uint Heartbeat
        {
            get
            {
                int status;
                uint heartbeat;
                Check("vistrel_host_read_status", Native.vistrel_host_read_status(handle, out status, out heartbeat));
                return heartbeat;
            }
        }

        // Whether vistrel runs, reports running and its heartbeat moved within maxAgeMs.
        public bool IsAlive(uint maxAgeMs)
        {
            int alive;
            Check("vistrel_host_alive", Native.vistrel_host_alive(handle, maxAgeMs, out alive));
            return alive != 0;
        }

        public ulong FramesTaken
        {
            get
            {
                ulong frames;
                Check("vistrel_host_frames_taken", Native.vistrel_host_frames_taken(handle, out frames));
                return frames;
            }
        }

        public void Dispose()
        {
            handle.Dispose();
        }

        private static void Check(string call, int code)
        {
            if (code < 0) throw new VistrelHostException(call, code);
        }

        private static bool Taken(string call, int code)
        {
            if (code == Native.Busy) return false;
            Check(call, code);
            return true;
        }
    }
}
