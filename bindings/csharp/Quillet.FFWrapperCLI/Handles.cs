// Owners of the C interface's handles. Releasing a player destroys it, which
// also closes its source; the runtime releases a handle only once no call that
// uses it is still running, so a Dispose racing with a call never frees a
// handle that call still holds.
using System;
using System.Runtime.InteropServices;

namespace Quillet.FFWrapperCLI
{
    internal sealed class PlayerHandle : SafeHandle
    {
        internal PlayerHandle(IntPtr player) : base(IntPtr.Zero, true) { SetHandle(player); }
        public override bool IsInvalid { get { return handle == IntPtr.Zero; } }
        protected override bool ReleaseHandle()
        {
            NativeMethods.quillet_player_destroy(handle);
            return true;
        }
    }

    internal sealed class ClientHandle : SafeHandle
    {
        private ClientHandle() : base(IntPtr.Zero, true) { }
        public override bool IsInvalid { get { return handle == IntPtr.Zero; } }
        protected override bool ReleaseHandle()
        {
            NativeMethods.quillet_client_destroy(handle);
            return true;
        }
    }
}
