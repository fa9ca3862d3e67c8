// Values written the way Python writes them (repr of str, int, bool, None
// and float), for the text files that the Python stand-in's readers parse.
using System;
using System.Globalization;
using System.Text;

namespace Brivane.StandIn.Support {

internal static class PyText {
    public static string Repr(object value) {
        if (value == null) return "None";
        if (value is bool) return (bool)value ? "True" : "False";
        var text = value as string;
        if (text != null) return StringRepr(text);
        if (value is double || value is float) return FloatRepr(Convert.ToDouble(value, CultureInfo.InvariantCulture));
        return Convert.ToString(value, CultureInfo.InvariantCulture);
    }

    // str(value) as an f-string writes it.
    public static string Str(object value) {
        if (value == null) return "None";
        if (value is bool) return (bool)value ? "True" : "False";
        if (value is double || value is float) return FloatRepr(Convert.ToDouble(value, CultureInfo.InvariantCulture));
        return Convert.ToString(value, CultureInfo.InvariantCulture);
    }

    public static string StringRepr(string text) {
        char quote = text.IndexOf('\'') >= 0 && text.IndexOf('"') < 0 ? '"' : '\'';
        var output = new StringBuilder();
        output.Append(quote);
        foreach (char c in text) {
            if (c == quote || c == '\\') output.Append('\\').Append(c);
            else if (c == '\n') output.Append("\\n");
            else if (c == '\r') output.Append("\\r");
            else if (c == '\t') output.Append("\\t");
            else if (c < ' ' || c == '\x7f') output.Append("\\x").Append(((int)c).ToString("x2"));
            else output.Append(c);
        }
        output.Append(quote);
        return output.ToString();
    }

    // repr(float): the shortest round-trip digits, ".0" on whole numbers,
    // exponent form from 1e16 up and below 1e-4.
    public static string FloatRepr(double value) {
        if (double.IsNaN(value)) return "nan";
        if (double.IsPositiveInfinity(value)) return "inf";
        if (double.IsNegativeInfinity(value)) return "-inf";
        if (value == 0) return 1 / value < 0 ? "-0.0" : "0.0";
        string digits = value.ToString("R", CultureInfo.InvariantCulture);
        double magnitude = Math.Abs(value);
        if (magnitude >= 1e16 || magnitude < 1e-4) {
            string scientific = value.ToString("E16", CultureInfo.InvariantCulture);
            // Shortest mantissa that still round-trips.
            for (int precision = 0; precision <= 16; precision++) {
                string candidate = value.ToString("E" + precision, CultureInfo.InvariantCulture);
                if (double.Parse(candidate, CultureInfo.InvariantCulture) == value) {
                    scientific = candidate;
                    break;
                }
            }
            int e = scientific.IndexOf('E');
            string mantissa = scientific.Substring(0, e);
            if (mantissa.Contains(".")) mantissa = mantissa.TrimEnd('0').TrimEnd('.');
            int exponent = int.Parse(scientific.Substring(e + 1), CultureInfo.InvariantCulture);
            return mantissa + "e" + (exponent < 0 ? "-" : "+") + Math.Abs(exponent).ToString("00");
        }
        if (digits.Contains("E")) {
            digits = value.ToString("F17", CultureInfo.InvariantCulture).TrimEnd('0');
            if (digits.EndsWith(".")) digits += "0";
            return digits;
        }
        if (!digits.Contains(".")) digits += ".0";
        return digits;
    }
}

}  // namespace Brivane.StandIn.Support
