// File helpers shared by the product classes: atomic writes, checked reads.
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

namespace Brivane.StandIn.Support {

internal static class Files {
    private static readonly Encoding Utf8 = new UTF8Encoding(false, true);
    private static readonly Random Names = new Random();

    [DllImport("libc", SetLastError = true)]
    private static extern int rename(string from, string to);

    public static string CheckPath(string path, string name = "path") {
        if (path == null) throw new ArgumentNullException(name);
        return path;
    }

    // Writes through a temporary file of the same folder and rename(2): the
    // target is either the old or the new file.
    public static void WriteAtomic(string path, string text) {
        CheckPath(path);
        string folder = Path.GetDirectoryName(Path.GetFullPath(path));
        if (!Directory.Exists(folder)) {
            throw new DirectoryNotFoundException("Could not find a part of the path '" + path + "'.");
        }
        if (Directory.Exists(path)) throw new UnauthorizedAccessException("Access to the path '" + path + "' is denied.");
        byte[] data = Utf8.GetBytes(text);
        string temp;
        lock (Names) {
            temp = Path.Combine(folder, "." + Path.GetFileName(path) + "." + Names.Next().ToString("x8") + ".tmp");
        }
        try {
            using (var stream = new FileStream(temp, FileMode.CreateNew, FileAccess.Write)) {
                int? limit = Brivane.StandIn.Knobs.FailWritesAfter;
                if (limit.HasValue) {
                    stream.Write(data, 0, Math.Min(limit.Value, data.Length));
                    throw new IOException("There is not enough space on the disk.");
                }
                stream.Write(data, 0, data.Length);
            }
            if (rename(temp, Path.GetFullPath(path)) != 0) {
                throw new IOException("Could not replace '" + path + "' (errno " + Marshal.GetLastWin32Error() + ").");
            }
        } finally {
            if (File.Exists(temp)) File.Delete(temp);
        }
    }

    public static string ReadText(string path) {
        CheckPath(path);
        if (Directory.Exists(path)) throw new UnauthorizedAccessException("Access to the path '" + path + "' is denied.");
        if (!File.Exists(path)) throw new FileNotFoundException("Could not find file '" + path + "'.", path);
        byte[] data = File.ReadAllBytes(path);
        try {
            // Text mode: universal newlines.
            return Utf8.GetString(data).Replace("\r\n", "\n").Replace('\r', '\n');
        } catch (DecoderFallbackException) {
            throw new InvalidDataException("'" + path + "' is not a text file.");
        }
    }

    // A stand-in JSON document whose `marker` member must be 1.
    public static JsonObject ReadJson(string path, string marker) {
        string text = ReadText(path);
        object document;
        try {
            document = Json.Parse(text);
        } catch (JsonSyntaxException) {
            document = null;
        }
        var obj = document as JsonObject;
        if (obj == null || !IsOne(obj.Get(marker))) {
            throw new InvalidDataException("'" + path + "' is not a valid " + marker + " file.");
        }
        return obj;
    }

    // Python's `value == 1` for a parsed JSON value (1, 1.0 and true all equal 1).
    public static bool IsOne(object value) {
        if (value is long) return (long)value == 1;
        if (value is double) return (double)value == 1.0;
        if (value is bool) return (bool)value;
        return false;
    }
}

}  // namespace Brivane.StandIn.Support
