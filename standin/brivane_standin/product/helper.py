"""Brivane.Helper: small utilities the other assemblies depend on."""

from ..dotnet import netclass


@netclass("Brivane.Helper")
class Version:
    """Version of the product."""

    Current = "2031.1"

    @staticmethod
    def GetProductVersion():
        return Version.Current
