// A small JSON reader and writer whose output is byte for byte what Python's
// json.dumps gives (ensure_ascii, indent or compact separators), so that files
// written here read the same as the ones the Python stand-in writes.
// Compiled into every stand-in assembly as an internal helper.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Text;

namespace Brivane.StandIn.Support {

// A JSON object that keeps the order of its members, like a Python dict.
internal sealed class JsonObject {
    private readonly List<KeyValuePair<string, object>> members = new List<KeyValuePair<string, object>>();

    public object Get(string key) {
        foreach (var member in members) {
            if (member.Key == key) return member.Value;
        }
        return null;
    }

    public bool Has(string key) {
        foreach (var member in members) {
            if (member.Key == key) return true;
        }
        return false;
    }

    // Replaces the value of an existing key in place, else appends it.
    public void Set(string key, object value) {
        for (int i = 0; i < members.Count; i++) {
            if (members[i].Key == key) {
                members[i] = new KeyValuePair<string, object>(key, value);
                return;
            }
        }
        members.Add(new KeyValuePair<string, object>(key, value));
    }

    public JsonObject Copy() {
        var copy = new JsonObject();
        foreach (var member in members) copy.members.Add(member);
        return copy;
    }

    public IEnumerable<KeyValuePair<string, object>> Members { get { return members; } }
}

internal sealed class JsonSyntaxException : Exception {
    public JsonSyntaxException(string message) : base(message) {}
}

internal static class Json {
    // ---- reading: objects are JsonObject, arrays List<object>, whole numbers
    // long, other numbers double, then string, bool and null.

    public static object Parse(string text) {
        int position = 0;
        object value = ParseValue(text, ref position);
        SkipSpace(text, ref position);
        if (position != text.Length) throw new JsonSyntaxException("extra data");
        return value;
    }

    private static void SkipSpace(string text, ref int position) {
        while (position < text.Length && (text[position] == ' ' || text[position] == '\t' ||
                                          text[position] == '\n' || text[position] == '\r')) {
            position++;
        }
    }

    private static object ParseValue(string text, ref int position) {
        SkipSpace(text, ref position);
        if (position >= text.Length) throw new JsonSyntaxException("unexpected end");
        char c = text[position];
        if (c == '{') return ParseObject(text, ref position);
        if (c == '[') return ParseArray(text, ref position);
        if (c == '"') return ParseString(text, ref position);
        if (Literal(text, ref position, "true")) return true;
        if (Literal(text, ref position, "false")) return false;
        if (Literal(text, ref position, "null")) return null;
        if (Literal(text, ref position, "NaN")) return double.NaN;
        if (Literal(text, ref position, "Infinity")) return double.PositiveInfinity;
        if (Literal(text, ref position, "-Infinity")) return double.NegativeInfinity;
        return ParseNumber(text, ref position);
    }

    private static bool Literal(string text, ref int position, string word) {
        if (string.CompareOrdinal(text, position, word, 0, word.Length) != 0) return false;
        position += word.Length;
        return true;
    }

    private static JsonObject ParseObject(string text, ref int position) {
        var result = new JsonObject();
        position++;
        SkipSpace(text, ref position);
        if (position < text.Length && text[position] == '}') {
            position++;
            return result;
        }
        while (true) {
            SkipSpace(text, ref position);
            if (position >= text.Length || text[position] != '"') throw new JsonSyntaxException("key expected");
            string key = ParseString(text, ref position);
            SkipSpace(text, ref position);
            if (position >= text.Length || text[position] != ':') throw new JsonSyntaxException("':' expected");
            position++;
            result.Set(key, ParseValue(text, ref position));
            SkipSpace(text, ref position);
            if (position >= text.Length) throw new JsonSyntaxException("unexpected end");
            if (text[position] == ',') {
                position++;
                continue;
            }
            if (text[position] == '}') {
                position++;
                return result;
            }
            throw new JsonSyntaxException("',' or '}' expected");
        }
    }

    private static List<object> ParseArray(string text, ref int position) {
        var result = new List<object>();
        position++;
        SkipSpace(text, ref position);
        if (position < text.Length && text[position] == ']') {
            position++;
            return result;
        }
        while (true) {
            result.Add(ParseValue(text, ref position));
            SkipSpace(text, ref position);
            if (position >= text.Length) throw new JsonSyntaxException("unexpected end");
            if (text[position] == ',') {
                position++;
                continue;
            }
            if (text[position] == ']') {
                position++;
                return result;
            }
            throw new JsonSyntaxException("',' or ']' expected");
        }
    }

    private static string ParseString(string text, ref int position) {
        var result = new StringBuilder();
        position++;
        while (true) {
            if (position >= text.Length) throw new JsonSyntaxException("unterminated string");
            char c = text[position++];
            if (c == '"') return result.ToString();
            if (c < ' ') throw new JsonSyntaxException("control character in string");
            if (c != '\\') {
                result.Append(c);
                continue;
            }
            if (position >= text.Length) throw new JsonSyntaxException("unterminated string");
            char escape = text[position++];
            switch (escape) {
                case '"': result.Append('"'); break;
                case '\\': result.Append('\\'); break;
                case '/': result.Append('/'); break;
                case 'b': result.Append('\b'); break;
                case 'f': result.Append('\f'); break;
                case 'n': result.Append('\n'); break;
                case 'r': result.Append('\r'); break;
                case 't': result.Append('\t'); break;
                case 'u':
                    if (position + 4 > text.Length) throw new JsonSyntaxException("bad escape");
                    result.Append((char)int.Parse(text.Substring(position, 4), NumberStyles.HexNumber,
                                                  CultureInfo.InvariantCulture));
                    position += 4;
                    break;
                default: throw new JsonSyntaxException("bad escape");
            }
        }
    }

    private static object ParseNumber(string text, ref int position) {
        int start = position;
        if (position < text.Length && text[position] == '-') position++;
        int digits = position;
        while (position < text.Length && char.IsDigit(text[position])) position++;
        if (position == digits) throw new JsonSyntaxException("value expected");
        bool whole = true;
        if (position < text.Length && text[position] == '.') {
            whole = false;
            position++;
            int fraction = position;
            while (position < text.Length && char.IsDigit(text[position])) position++;
            if (position == fraction) throw new JsonSyntaxException("digits expected");
        }
        if (position < text.Length && (text[position] == 'e' || text[position] == 'E')) {
            whole = false;
            position++;
            if (position < text.Length && (text[position] == '+' || text[position] == '-')) position++;
            int exponent = position;
            while (position < text.Length && char.IsDigit(text[position])) position++;
            if (position == exponent) throw new JsonSyntaxException("digits expected");
        }
        string number = text.Substring(start, position - start);
        if (whole) {
            long value;
            if (long.TryParse(number, NumberStyles.AllowLeadingSign, CultureInfo.InvariantCulture, out value)) {
                return value;
            }
        }
        return double.Parse(number, NumberStyles.Float, CultureInfo.InvariantCulture);
    }

    // ---- writing, as json.dumps(value, indent=N) (indent >= 0) or with the
    // compact separators (indent < 0 and compact) or the default ", " / ": "
    // separators on one line (indent < 0, not compact).

    public static string Dump(object value, int indent) {
        var output = new StringBuilder();
        Write(output, value, indent, false, 0);
        return output.ToString();
    }

    public static string DumpCompact(object value) {
        var output = new StringBuilder();
        Write(output, value, -1, true, 0);
        return output.ToString();
    }

    public static string DumpOneLine(object value) {
        var output = new StringBuilder();
        Write(output, value, -1, false, 0);
        return output.ToString();
    }

    private static void NewLine(StringBuilder output, int indent, int level) {
        output.Append('\n');
        output.Append(' ', indent * level);
    }

    private static void Write(StringBuilder output, object value, int indent, bool compact, int level) {
        string itemSeparator = indent >= 0 || compact ? "," : ", ";
        string keySeparator = compact ? ":" : ": ";
        var obj = value as JsonObject;
        if (obj != null) {
            bool any = false;
            output.Append('{');
            foreach (var member in obj.Members) {
                if (any) output.Append(itemSeparator);
                if (indent >= 0) NewLine(output, indent, level + 1);
                WriteString(output, member.Key);
                output.Append(keySeparator);
                Write(output, member.Value, indent, compact, level + 1);
                any = true;
            }
            if (any && indent >= 0) NewLine(output, indent, level);
            output.Append('}');
            return;
        }
        var text = value as string;
        if (text != null) {
            WriteString(output, text);
            return;
        }
        if (value == null) {
            output.Append("null");
            return;
        }
        if (value is bool) {
            output.Append((bool)value ? "true" : "false");
            return;
        }
        if (value is double || value is float) {
            double number = Convert.ToDouble(value, CultureInfo.InvariantCulture);
            if (double.IsNaN(number)) output.Append("NaN");
            else if (double.IsPositiveInfinity(number)) output.Append("Infinity");
            else if (double.IsNegativeInfinity(number)) output.Append("-Infinity");
            else output.Append(PyText.FloatRepr(number));
            return;
        }
        if (value is long || value is int || value is short || value is byte || value is ulong || value is uint) {
            output.Append(Convert.ToString(value, CultureInfo.InvariantCulture));
            return;
        }
        var list = value as System.Collections.IEnumerable;
        if (list != null) {
            bool any = false;
            output.Append('[');
            foreach (object item in list) {
                if (any) output.Append(itemSeparator);
                if (indent >= 0) NewLine(output, indent, level + 1);
                Write(output, item, indent, compact, level + 1);
                any = true;
            }
            if (any && indent >= 0) NewLine(output, indent, level);
            output.Append(']');
            return;
        }
        throw new ArgumentException("not a JSON value: " + value.GetType().FullName);
    }

    private static void WriteString(StringBuilder output, string text) {
        output.Append('"');
        foreach (char c in text) {
            switch (c) {
                case '"': output.Append("\\\""); break;
                case '\\': output.Append("\\\\"); break;
                case '\n': output.Append("\\n"); break;
                case '\r': output.Append("\\r"); break;
                case '\t': output.Append("\\t"); break;
                case '\b': output.Append("\\b"); break;
                case '\f': output.Append("\\f"); break;
                default:
                    if (c < ' ' || c > '~') output.Append("\\u").Append(((int)c).ToString("x4"));
                    else output.Append(c);
                    break;
            }
        }
        output.Append('"');
    }
}

}  // namespace Brivane.StandIn.Support
