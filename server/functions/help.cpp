// The help texts of the built-in functions, read top to bottom like
// docs/functions.md, and function_table, through which a client learns every
// function's name, arguments and help (Python builds dir(eng) and
// help(eng.NAME) from it).  Arguments are one line: "?" marks an optional
// argument, "..." any number more.
#include "functions/support.hpp"

namespace veldra::engine {
namespace {

using namespace support;

struct HelpRow {
    const char* name;
    const char* arguments;
    const char* text;
    const char* rule = "";  // a family's shared rule, appended
};

constexpr const char* kElementwise =
    " Elementwise, with expansion (a scalar or a dimension of 1 against any size). A double with an"
    " integer class gives that class (rounded, saturated); single with double gives single.";

const HelpRow kHelp[] = {
    // values and classes
    {"identity", "values...", "Gives its arguments back unchanged, as many results as arguments."},
    {"class_of", "x",
     "The class name of x: \"double\", \"single\", \"int8\" ... \"uint64\", \"logical\", \"char\", "
     "\"cell\", \"struct\", \"function\" or \"object\"."},
    {"dims", "x", "The dimensions of x as a 1-by-N double row."},
    {"is_complex", "x", "True when x is complex."},
    {"is_sparse", "x", "True when x is sparse."},
    {"reshape", "x, d1, d2, ...", "x with the dimensions d1, d2, ... (the same elements in column-major order)."},
    {"tile", "x, m, n", "x repeated m times down and n times across."},
    {"cast", "x, class", "x converted to the class named (rounded half away from zero, saturated)."},
    {"complex", "re, im", "The complex array re + i*im, of re's class."},
    {"sparse", "x", "The sparse form of a real double or logical matrix."},
    {"cell_new", "m, n", "An m-by-n cell with every slot unset."},
    {"cell_of", "name, args...", "Calls the function name with args and gives all its results in one 1-by-N cell."},
    {"handle_of", "name", "A function value (function handle) for the function name."},
    {"opaque_value", "", "An engine value that no client can take: the call fails on the way back."},
    {"untransferable", "", "Fails: gives a result that cannot be carried back to the client."},
    // console, waiting, failing
    {"print", "text", "Writes text and a newline to standard output."},
    {"warn", "text", "Writes text and a newline to standard error."},
    {"sleep", "seconds", "Waits that many seconds; interruptible and cancellable."},
    {"fail", "message, identifier?", "Always fails with message (identifier, default \"veldra:fail\")."},
    {"print_fail", "text, message", "Writes text to both streams, then fails with message."},
    {"calc", "expression",
     "Evaluates numbers, + - * / ^, parentheses and workspace variables to a double; malformed text is a syntax "
     "error."},
    // workspace
    {"assign", "name, value", "Sets the workspace variable name (shared by every client of the engine)."},
    {"fetch", "name", "The value of the workspace variable name; fails for an unknown name."},
    {"clear", "name?", "Deletes the workspace variable name, or all of them."},
    {"exists", "name", "True when the workspace has a variable name."},
    {"names", "", "The names of the workspace variables, sorted, as a 1-by-N cell."},
    // engine objects
    {"map_new", "", "A new empty key-to-value map living in the engine (a reference)."},
    {"map_set", "map, key, value", "Sets key to value in the map."},
    {"map_get", "map, key", "The value of key in the map; fails for a missing key."},
    {"map_count", "map", "The number of keys in the map."},
    {"objects", "m, n", "An m-by-n array of new maps."},
    {"object_delete", "object", "Deletes the engine objects the reference names."},
    {"object_count", "", "The number of live engine objects."},
    // elementwise
    {"add", "a, b", "a + b.", kElementwise},
    {"subtract", "a, b", "a - b.", kElementwise},
    {"multiply", "a, b", "a .* b (elementwise).", kElementwise},
    {"divide", "a, b", "a ./ b (elementwise).", kElementwise},
    {"power", "a, b", "a .^ b; complex where the result needs it.", kElementwise},
    {"negate", "x", "-x.", kElementwise},
    {"sqrt", "x", "The square root; complex for negative x.", kElementwise},
    {"exp", "x", "e to the power x.", kElementwise},
    {"log", "x", "The natural logarithm; complex for negative x.", kElementwise},
    {"log10", "x", "The base-10 logarithm; complex for negative x.", kElementwise},
    {"sin", "x", "The sine (radians).", kElementwise},
    {"cos", "x", "The cosine (radians).", kElementwise},
    {"tan", "x", "The tangent (radians).", kElementwise},
    {"abs", "x", "The absolute value (modulus for complex x).", kElementwise},
    {"floor", "x", "Rounded towards minus infinity.", kElementwise},
    {"ceil", "x", "Rounded towards plus infinity.", kElementwise},
    {"round", "x", "Rounded to the nearest integer, half away from zero.", kElementwise},
    {"eq", "a, b", "Logical a == b.", kElementwise},
    {"ne", "a, b", "Logical a != b.", kElementwise},
    {"lt", "a, b", "Logical a < b.", kElementwise},
    {"le", "a, b", "Logical a <= b.", kElementwise},
    {"gt", "a, b", "Logical a > b.", kElementwise},
    {"ge", "a, b", "Logical a >= b.", kElementwise},
    {"logical_and", "a, b", "Logical a and b.", kElementwise},
    {"logical_or", "a, b", "Logical a or b.", kElementwise},
    {"logical_not", "x", "Logical not x.", kElementwise},
    // reductions
    {"sum", "x, dim?", "The sum along dim (default: the first dimension that is not 1)."},
    {"prod", "x, dim?", "The product along dim (default: the first dimension that is not 1)."},
    {"mean", "x, dim?", "The mean along dim (default: the first dimension that is not 1)."},
    {"cumsum", "x, dim?", "The cumulative sum along dim (default: the first dimension that is not 1)."},
    {"any", "x, dim?", "True where any element along dim is non-zero."},
    {"all", "x, dim?", "True where every element along dim is non-zero."},
    {"min", "x, dim?", "The smallest values along dim; second result: their 1-based indices."},
    {"max", "x, dim?", "The largest values along dim; second result: their 1-based indices."},
    // construction
    {"zeros", "m, n, class?", "An m-by-n array of zeros (or one of the size given as a row), double by default."},
    {"ones", "m, n, class?", "An m-by-n array of ones (or one of the size given as a row), double by default."},
    {"eye", "m, n?", "The m-by-n (or m-by-m) identity matrix."},
    {"linspace", "a, b, n", "n evenly spaced points from a to b, as a row."},
    {"span", "start, step, stop", "start, start+step, ... up to stop, as a row."},
    {"random", "m, n, seed", "An m-by-n array uniform in [0, 1), the same for the same seed."},
    {"transpose", "x", "x transposed."},
    {"flatten", "x", "All elements of x as a column, in column-major order."},
    {"hcat", "arrays...", "The arrays concatenated across."},
    {"vcat", "arrays...", "The arrays concatenated down."},
    {"find", "x", "The 1-based linear indices of the non-zero elements of x."},
    {"sort", "x", "x sorted along its first non-singleton dimension; second result: the 1-based indices."},
    {"unique", "x", "The sorted distinct values of x."},
    // linear algebra and transforms
    {"matmul", "a, b", "The matrix product a * b."},
    {"solve", "a, b", "a \\ b: the solution of a square system, least squares for a rectangular a."},
    {"inv", "a", "The inverse of a square matrix."},
    {"det", "a", "The determinant of a square matrix."},
    {"rank", "a", "The rank of a matrix."},
    {"norm", "a", "The 2-norm of a matrix or vector."},
    {"eig", "a", "The eigenvalues of a; with two results: the eigenvectors and the eigenvalues (diagonal)."},
    {"svd", "a", "The singular values of a; with three results: U, S and V."},
    {"qr", "a", "Q and R of the QR decomposition of a."},
    {"chol", "a", "The Cholesky factor of a symmetric (Hermitian) positive definite matrix."},
    {"fft", "x", "The discrete Fourier transform along the first non-singleton dimension."},
    {"ifft", "x", "The inverse discrete Fourier transform along the first non-singleton dimension."},
    // text and structs
    {"upper", "text", "text in upper case."},
    {"lower", "text", "text in lower case."},
    {"strip", "text", "text without leading and trailing white space."},
    {"split", "text, separator", "The parts of text between separators, as a 1-by-N cell."},
    {"join", "texts, separator", "The texts of a cell joined with separator."},
    {"format", "format, values...", "printf-style text of the values."},
    {"to_text", "x", "The text of a number."},
    {"to_number", "text", "The number a text holds."},
    {"fields", "struct", "The field names of a struct, as a 1-by-N cell."},
    {"get_field", "struct, name", "The value of a struct's field."},
    {"set_field", "struct, name, value", "The struct with the field set to value."},
    {"has_field", "struct, name", "True when the struct has the field."},
    {"function_table", "",
     "Every function's name, its arguments and its help text: three 1-by-N cells in one order (a function "
     "without help has empty texts)."},
};

struct HelpRegistrar {
    HelpRegistrar() {
        FunctionRegistry& registry = FunctionRegistry::builtin();
        for (const HelpRow& row : kHelp) {
            registry.describe(row.name, FunctionHelp{row.arguments, std::string(row.text) + row.rule});
        }
    }
};
const HelpRegistrar kRegistrar;

Array cellOf(const std::vector<std::string>& texts) {
    Array cell = checked(qxCreateCellMatrix(1, texts.size()));
    for (std::size_t i = 0; i < texts.size(); ++i) qxSetCell(cell.get(), i, text(texts[i]).release());
    return cell;
}

Results fn_function_table(CallContext& ctx, int nargout, const Args& args) {
    requireArgCount("function_table", args, 0, 0);
    const FunctionRegistry& registry = ctx.functions();
    const std::vector<std::string> names = registry.names();
    std::vector<std::string> arguments, texts;
    arguments.reserve(names.size());
    texts.reserve(names.size());
    for (const std::string& name : names) {
        const FunctionHelp* help = registry.help(name);
        arguments.push_back(help ? help->arguments : std::string());
        texts.push_back(help ? help->text : std::string());
    }
    Results out;
    out.push_back(cellOf(names));
    if (nargout > 1) out.push_back(cellOf(arguments));
    if (nargout > 2) out.push_back(cellOf(texts));
    return out;
}

}  // namespace

VELDRA_ENGINE_FUNCTION(function_table, 3, fn_function_table);

}  // namespace veldra::engine
