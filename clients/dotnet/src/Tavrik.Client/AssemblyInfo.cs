using System.Reflection;
using System.Runtime.CompilerServices;

[assembly: AssemblyTitle("Tavrik.Client")]
[assembly: AssemblyDescription("Attaches a user interface to a Tavrik worker through its rings")]
[assembly: AssemblyVersion("0.2.4.0")]
[assembly: InternalsVisibleTo("Tavrik.Client.Tests")]
