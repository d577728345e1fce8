// Finds and loads the native library before the first call into it, so that a
// missing library is reported with the file name and the places searched
// rather than as a bare DllNotFoundException. The library is loaded by its full
// path; the DllImport name "quillet" then resolves to that same loaded library:
// on Mono through the .dll.config map (quillet -> libquillet.so.<soversion>,
// matched by its soname), on .NET through a DllImport resolver.
using System;
using System.Collections.Generic;
using System.IO;
using System.Reflection;
using System.Runtime.InteropServices;

namespace Quillet.FFWrapperCLI
{
    internal static class NativeLoader
    {
        private const int RTLD_NOW = 2, RTLD_GLOBAL = 0x100;
        private static readonly object Gate = new object();
        private static IntPtr _library;

        [DllImport("libdl.so.2")] private static extern IntPtr dlopen(string file, int mode);
        [DllImport("libdl.so.2")] private static extern IntPtr dlerror();

        /// <summary>Loads the library once; throws DllNotFoundException naming the file and the places searched.</summary>
        internal static void EnsureLoaded()
        {
            lock (Gate)
            {
                if (_library != IntPtr.Zero)
                    return;
                if (Environment.OSVersion.Platform != PlatformID.Unix)
                    return; // elsewhere the runtime's own search applies
                var places = new List<string>();
                string here = AssemblyFolder();
                if (here != null)
                {
                    places.Add(here);
                    places.Add(Path.GetFullPath(Path.Combine(here, NativeLocation.LibraryFromAssembly)));
                }
                string lastError = "";
                foreach (string folder in places)
                {
                    string path = Path.Combine(folder, NativeLocation.FileName);
                    if (File.Exists(path) && TryLoad(path, ref lastError))
                        break;
                }
                if (_library == IntPtr.Zero && !TryLoad(NativeLocation.FileName, ref lastError))
                    throw new DllNotFoundException(string.Format(
                        "The Quillet native library {0} was not found: looked in {1} and in the system's library path " +
                        "(LD_LIBRARY_PATH, /etc/ld.so.cache). {2}",
                        NativeLocation.FileName, places.Count > 0 ? string.Join(", ", places.ToArray()) : "(no assembly folder)",
                        lastError));
                RegisterResolver();
            }
        }

        private static string AssemblyFolder()
        {
            string location = typeof(NativeLoader).Assembly.Location;
            return string.IsNullOrEmpty(location) ? null : Path.GetDirectoryName(location);
        }

        private static bool TryLoad(string path, ref string lastError)
        {
            try
            {
                IntPtr h = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
                if (h != IntPtr.Zero)
                {
                    _library = h;
                    return true;
                }
                lastError = NativeMethods.FromUtf8(dlerror());
            }
            catch (Exception e) // no libdl on this system: leave it to the runtime
            {
                lastError = e.Message;
            }
            return false;
        }

        // .NET Core 3 and later resolve DllImport names through NativeLibrary;
        // reached by reflection so the assembly also builds for runtimes without it.
        private static void RegisterResolver()
        {
            Type nativeLibrary = Type.GetType("System.Runtime.InteropServices.NativeLibrary");
            Type resolverType = Type.GetType("System.Runtime.InteropServices.DllImportResolver");
            if (nativeLibrary == null || resolverType == null)
                return;
            MethodInfo set = nativeLibrary.GetMethod("SetDllImportResolver", new[] { typeof(Assembly), resolverType });
            MethodInfo resolve = typeof(NativeLoader).GetMethod("Resolve", BindingFlags.NonPublic | BindingFlags.Static);
            if (set == null || resolve == null)
                return;
            try
            {
                set.Invoke(null, new object[] { typeof(NativeLoader).Assembly, Delegate.CreateDelegate(resolverType, resolve) });
            }
            catch (TargetInvocationException) { } // a resolver was already set by the host
        }

        private static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? searchPath)
        {
            return name == NativeMethods.Lib ? _library : IntPtr.Zero;
        }
    }
}
