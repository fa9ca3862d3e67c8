// Brivane.Helper: small utilities the other assemblies depend on.
using Brivane.StandIn;

namespace Brivane.Helper {

// Version of the product.
[Catalogued]
public static class Version {
    public const string Current = "2031.1";

    public static string GetProductVersion() {
        Journal.Record("Version", "GetProductVersion");
        return Current;
    }
}

}  // namespace Brivane.Helper
