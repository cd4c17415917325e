// The HTML engine against what a browser answers: small pages, one rule each (their expected
// texts were checked against headless Chromium's innerText), and the golden pages of
// tests/data/html (regenerated from Chromium by regenerate.sh there).
#include "html/html_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../common/temp_folder.h"
#include "html/html_prepass.h"

namespace droprelay::html {
namespace {

struct Case {
  const char* name;
  const char* html;
  const char* text;  // innerText with LF line ends
};

std::string Crlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

void ExpectCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    std::optional<std::string> text = html::HtmlInnerText(c.html);
    ASSERT_TRUE(text.has_value()) << c.name;
    EXPECT_EQ(*text, Crlf(c.text)) << c.name;
  }
}

TEST(HtmlInnerText, WhatIsNotRendered) {
  ExpectCases({
      {"title and head", "<html><head><title>T</title><meta name=x></head><body>body</body></html>",
       "body"},
      {"script, style, template",
       "<script>var a='s';</script><style>p{}</style><template>t</template>x", "x"},
      {"hidden attribute", "<div hidden>gone</div><div>kept</div>", "kept"},
      {"hidden attribute loses to CSS", "<div hidden style='display:block'>shown</div>", "shown"},
      {"display none inline style", "a<span style='display:none'>b</span>c", "ac"},
      {"display none hides visible children",
       "<div style='display:none'>x<div style='display:block;visibility:visible'>y</div></div>z",
       "z"},
      {"visibility hidden keeps visible children",
       "<div style='visibility:hidden'>no <b style='visibility:visible'>yes</b> no</div>", "yes"},
      {"visibility collapse", "<span style='visibility:collapse'>c</span>v", "v"},
      {"closed details shows its summary only",
       "<details><summary>S</summary>body</details><details "
       "open><summary>O</summary>inside</details>",
       "S\nO\ninside"},
      {"closed dialog", "<dialog>d</dialog><dialog open>o</dialog>", "o"},
      {"no alt texts, no URLs", "<img alt='ALT'><a href='http://x/'>link</a>", "link"},
      {"form fields", "<input value=v><textarea>t</textarea><button>b</button>", "b"},
      {"select options are lines", "<select><option>o1<option>o2</select>", "o1\no2"},
      {"content-visibility hidden", "<div style='content-visibility:hidden'>cv</div><div>x</div>",
       "x"},
      {"hidden in other ways is still text",
       "<div style='font-size:0'>a</div><div style='max-height:0;overflow:hidden'>b</div><div "
       "style='opacity:0'>c</div>",
       "a\nb\nc"},
      {"generated content is not text", "<style>p::before{content:'B'}</style><p>x</p>", "x"},
  });
}

TEST(HtmlInnerText, LineBreaks) {
  ExpectCases({
      {"paragraphs get a blank line", "<p>a</p><p>b</p>", "a\n\nb"},
      {"also with margin 0", "<p style='margin:0'>a</p><p style='margin:0'>b</p>", "a\n\nb"},
      {"blocks get one", "<div>a</div><h1>b</h1><blockquote>c</blockquote><ul><li>d</li></ul>e",
       "a\nb\nc\nd\ne"},
      {"br is a line of its own", "a<br>b<br><br>c", "a\nb\n\nc"},
      {"br at the end of a block adds to its break", "<div>a<br></div><div>b</div>", "a\n\nb"},
      {"breaks at start and end trimmed", "<p><div>x</div></p>", "x"},
      {"adjacent breaks collapse, the largest wins", "<div>a</div><p>b</p><div>c</div>",
       "a\n\nb\n\nc"},
      {"empty blocks add nothing between", "<div>a</div><div></div><div></div><div>b</div>",
       "a\nb"},
      {"empty paragraph still separates", "<div>a</div><p></p><div>b</div>", "a\n\nb"},
      {"hr", "a<hr>b", "a\nb"},
      {"floats and absolute boxes are blocks",
       "a<span style='float:left'>f</span>b<span style='position:absolute'>p</span>c",
       "a\nf\nb\np\nc"},
      {"the line goes on around a float", "<div>e <img src=x style='float:right'> f</div>",
       "e \nf"},
      {"a space before a float at the line end is dropped",
       "<div>m <span style='float:left'>fl</span></div><div>n</div>", "m\nfl\nn"},
      {"align floats images and tables",
       "<div>a <img src=x align=left> b</div>g<table align=left><tr><td>t</td></tr></table>h",
       "a \nb\ng\nt\nh"},
      {"nested floats",
       "<div>r <span style='float:left'><span style='float:right'>in</span> s</span> t</div>",
       "r \nin\ns\nt"},
      {"flex items are blocks", "<div style='display:flex'><span>1</span><span>2</span></div>",
       "1\n2"},
      {"span made block", "x<span style='display:block'>b</span>y", "x\nb\ny"},
      {"block made inline",
       "<div style='display:inline'>a</div><div style='display:inline'>b</div>", "ab"},
  });
  // Lines are never wrapped, however narrow the box.
  std::string words;
  for (int i = 0; i < 100; ++i) words += "word ";
  EXPECT_EQ(html::HtmlInnerText("<p style='width:10px'>" + words + "</p>"),
            std::optional<std::string>(words.substr(0, words.size() - 1)));
}

TEST(HtmlInnerText, Tables) {
  ExpectCases({
      {"cells joined by tab, rows by line",
       "<table><tr><td>a</td><td>b</td></tr><tr><td>c</td><td>d</td></tr></table>", "a\tb\nc\td"},
      {"nested tables in document order",
       "<table><tr><td>A<table><tr><td>n1</td><td>n2</td></tr></table></td><td>B</td></tr></table>",
       "A\nn1\tn2\n\tB"},
      {"hidden cell and row do not count",
       "<table><tr><td>a</td><td style='display:none'>h</td></tr><tr "
       "style='display:none'><td>z</td></tr></table>",
       "a"},
      {"header and footer rows",
       "<table><thead><tr><th>h</th></tr></thead><tbody><tr><td>b</td></tr></tbody></table>",
       "h\nb"},
      {"block inside a cell", "<table><tr><td><div>a</div></td><td>b</td></tr></table>", "a\n\tb"},
      {"table around text", "x<table><tr><td>c</td></tr></table>y", "x\nc\ny"},
      {"cells without a row share an anonymous one",
       "<div style='display:table'><div style='display:table-cell'>a</div><div "
       "style='display:table-cell'>b</div></div>"
       "<div><span style='display:table-cell'>c</span><span "
       "style='display:table-cell'>d</span>e</div>",
       "a\tb\nc\tde"},
      {"rows without a table",
       "<div><div style='display:table-row'>x1</div><div style='display:table-row'>x2</div></div>",
       "x1\nx2"},
      {"a block among cells",
       "<table><tr><td>t1</td><td style='display:block'>t2</td><td>t3</td></tr></table>",
       "t1\t\nt2\nt3"},
      {"a footer group in a line drops the blanks around it, as the other groups do",
       "<p>a <span style='display:table-footer-group'> b </span> c</p>", "abc"},
      {"so does a header group",
       "<p>a <span style='display:table-header-group'> b </span> c</p>"
       "<p>d <span style='display:table-row-group'> e </span> f</p>",
       "abc\n\ndef"},
  });
}

TEST(HtmlInnerText, WhiteSpace) {
  ExpectCases({
      {"runs collapse", "<div>  a \n\t b  </div>", "a b"},
      {"across elements", "<div>a <b> b </b> c</div>", "a b c"},
      {"around a line break", "<div>a <br> b</div>", "a\nb"},
      {"pre keeps everything", "<pre>\n a  b\n\tc</pre>", " a  b\n\tc"},
      {"pre-line keeps lines only", "<div style='white-space:pre-line'>  a   b  \n  c </div>",
       "a b\nc"},
      {"pre-wrap from a class", "<style>.k{white-space:pre-wrap}</style><div class=k>a  b</div>",
       "a  b"},
      {"CR LF and CR in pre are one line end each", "<pre>a\r\nb\rc</pre>", "a\nb\nc"},
      {"pre made normal", "<pre style='white-space:normal'>  a   b  </pre>", "a b"},
      {"inline-block keeps the spaces around it",
       "<div>a <span style='display:inline-block'> b </span> c</div>", "a b c"},
      {"an image keeps the spaces on both sides", "<div>a <img src=x> b</div>", "a  b"},
      {"nbsp is not collapsed", "a&nbsp;&nbsp;b", "a\u00a0\u00a0b"},
      {"hidden text still separates", "a <span style='visibility:hidden'>x</span> b", "a  b"},
  });
}

TEST(HtmlInnerText, TextTransform) {
  ExpectCases({
      {"uppercase, with full mappings", "<p style='text-transform:uppercase'>straße ёж \uFB01</p>",
       "STRASSE ЁЖ FI"},
      {"lowercase", "<p style='text-transform:lowercase'>ПРИВЕТ World</p>", "привет world"},
      {"capitalize", "<p style='text-transform:capitalize'>hello wORLD don't-stop e.g. ёлка</p>",
       "Hello WORLD Don't-Stop E.G. Ёлка"},
      {"inherited and cancelled",
       "<div style='text-transform:uppercase'>a<span style='text-transform:none'>b</span></div>",
       "Ab"},
  });
}

TEST(HtmlInnerText, Entities) {
  ExpectCases({
      {"named and numeric", "&laquo;&#1105;&raquo; &mdash; &#x41;&amp;", "«ё» — A&"},
      {"128 to 159 as windows-1252", "&#128;&#133;&#150;&#151;&#153;", "€…–—™"},
      {"without semicolon and unknown", "AT&T &amp &zz;", "AT&T & &zz;"},
  });
}

TEST(HtmlInnerText, FormatCharactersDroppedSoftHyphenKept) {
  ExpectCases({
      {"zero width, joiners, word joiner, BOM dropped; soft hyphen kept",
       "a&#8203;b&zwnj;c&zwj;d&#8288;e&#65279;f&shy;g", "abcdef\u00adg"},
      {"spaces around them stay", "a &zwnj; b", "a  b"},
  });
}

// The expected texts below are headless Chromium's innerText with scripting off.
TEST(HtmlInnerText, ControlCharactersAsTheBrowserShowsThem) {
  ExpectCases({
      {"form feed, other C0 and C1 controls are text; 128 to 159 as windows-1252",
       "<div>a&#12;b&#1;c&#127;d&#128;e&#x85;f&#x9f;g</div><pre>p&#12;q&#11;r</pre>"
       "<div>x &#12; y</div><div>t&#9;u &#11; v</div>",
       "a\x0c" "b\x01" "c\x7f" "d€e…fŸg\np\x0c" "q\x0b" "r\nx \x0c" " y\nt u \x0b" " v"},
      {"literal controls, C1 included",
       "<div>c1:\xC2\x85:\xC2\x9F:\xC2\x80 vt:\x0b esc:\x1b del:\x7f</div>",
       "c1:\u0085:\u009f:\u0080 vt:\x0b" " esc:\x1b" " del:\x7f"},
      {"private-use code points that look like carriers stay what they are",
       "<div>\xC2\x85\xF4\x8F\xBE\x85</div>", "\ufffd\U0010ff85"},
      {"a CR is a space, kept where spaces are; NUL by reference is U+FFFD; soft hyphens",
       "<div>a&#13;b</div><pre>c&#13;d</pre><div>&#0;z</div><div>soft&shy;hyphen &#173; lone</div>"
       "<div style=\"text-transform:uppercase\">&shy;x&#12;y</div>",
       "a b\nc\rd\n\ufffdz\nsoft\u00adhyphen \u00ad lone\n\u00adX\x0c" "Y"},
  });
}

TEST(HtmlInnerText, AsABrowserWithScriptingOff) {
  ExpectCases({
      {"noscript content shows, as inline content",
       "<p>a<noscript>b</noscript>c</p><div><noscript style=\"display:block\">blk</noscript></div>"
       "<style>@media (scripting: none){.s{display:none}} @media (scripting: enabled)"
       "{.e{display:none}}</style><b class=s>S</b><b class=e>E</b>",
       "abc\n\nblk\nE"},
      {"noscript in head: its style applies, other content starts the body",
       "<html><head><noscript><style>.x{display:none}</style><link rel=x>head text<p>p</p>"
       "</noscript></head><body><span class=x>shown?</span><noscript>n1 <p>para</p></noscript>"
       "tail</body></html>",
       "head text\n\np\n\nn1\n\npara\n\ntail"},
      {"canvas shows its fallback content",
       "<div>a<canvas>fb <p>para</p> x</canvas>b</div><canvas style=\"display:block\">blk</canvas>"
       "<canvas hidden>hid</canvas>",
       "afb\n\npara\n\nxb\nblk"},
      {"fallback content of any kind",
       "<canvas><table><tr><td>t1</td><td>t2</td></tr></table></canvas><canvas><img alt=i>"
       "<button>bt</button></canvas>",
       "t1\tt2\nbt"},
  });
}

TEST(HtmlInnerText, SvgText) {
  ExpectCases({
      {"each text element a line; no title or description",
       "<div>a<svg><title>T</title><desc>D</desc><g><text>g1</text><text>g2</text></g></svg>b</div>",
       "a\ng1\ng2\nb"},
      {"spaces collapse inside, stay around the image",
       "<div>a <svg><text>  lots   of <tspan>  space </tspan> x </text></svg> b</div>",
       "a \nlots of space x\n b"},
      {"hidden containers keep their text; display and visibility hide it",
       "<svg><defs><text id=d>def</text></defs><symbol><text>sym</text></symbol><use href=\"#d\"/>"
       "<text style=\"display:none\">none</text><text visibility=hidden>hid</text><text>vis</text>"
       "</svg>",
       "def\nsym\nvis"},
      {"foreign content, text paths, links",
       "<svg><foreignObject width=100 height=100><div>fo div</div><p>fo p</p></foreignObject><text>"
       "<textPath href=\"#p\">along</textPath></text><a href=x><text>link</text></a></svg>",
       "fo div\n\nfo p\n\nalong\nlink"},
      {"images side by side in a paragraph",
       "<p>x<svg><text>one</text></svg><svg><text>two</text></svg>y</p>", "x\none\ntwo\ny"},
      {"switch shows its first child whose conditions hold",
       "<svg><switch><text systemLanguage=\"xx\">sw1</text><text>sw2</text></switch>"
       "<style>text{}</style><script>1</script></svg>",
       "sw2"},
      {"positioned spans stay on the text's line",
       "<svg><text>a<tspan x=0 dy=10>b</tspan><tspan x=0 dy=10>c</tspan></text>"
       "<text x=1 y=2>d</text></svg>",
       "abc\nd"},
      {"in a cell, and as a block",
       "<table><tr><td><svg><text>c1</text></svg></td><td>c2</td></tr></table>"
       "<svg style=\"display:block\"><text>blk</text></svg>after",
       "c1\n\tc2\nblk\nafter"},
      {"a hidden group keeps its text; text-transform; nested images",
       "<svg><g style=\"display:none\"><text>gh</text></g><text style=\"text-transform:uppercase\">"
       "up</text><svg><text>nested</text></svg></svg>",
       "gh\nUP\nnested"},
      {"which hidden containers keep text",
       "<svg><defs style=\"display:none\"><text>d1</text></defs><symbol style=\"display:none\">"
       "<text>s1</text></symbol><mask><text>m1</text></mask><pattern><text>p1</text></pattern>"
       "<clipPath><text>c1</text></clipPath><marker><text>k1</text></marker><linearGradient>"
       "<text>lg</text></linearGradient></svg>",
       "m1\np1\nc1\nk1"},
      {"text outside text elements is not laid out; presentation attributes",
       "<svg>loose <g>gloose</g><a>aloose</a><text>in <a>alink</a> <tspan display=\"none\">tnone"
       "</tspan><tspan visibility=\"hidden\">thid</tspan> end</text></svg>",
       "in alink  end"},
      {"conditions; a text element inside another has no box",
       "<svg><text systemLanguage=\"xx\">lang-xx</text><text systemLanguage=\"en\">lang-en</text>"
       "<text requiredExtensions=\"http://x\">ext</text><switch><g><text>sg1</text></g><text>sg2"
       "</text></switch><text display=\"none\">dn</text><text><text>nested</text>after</text></svg>",
       "lang-en\nsg1\nafter"},
      {"hidden images and foreign content; visibility inside text",
       "<svg><svg style=\"display:none\"><text>innersvgnone</text></svg><foreignObject "
       "style=\"display:none\"><p>fonone</p></foreignObject><text>x<title>ti</title>y</text><text "
       "style=\"display:block\">blk</text><text style=\"visibility:hidden\">vh <tspan "
       "style=\"visibility:visible\">vv</tspan></text></svg>",
       "xy\nblk\nvv"},
      {"an invisible image adds no line; white-space in text",
       "<div>before<svg style=\"visibility:hidden\"><text>vhid</text></svg>mid<svg><text "
       "style=\"white-space:pre\">  a   b  </text><text>line1\nline2</text></svg></div>",
       "beforemid\n  a   b  \nline1 line2"},
      {"a presentation attribute holds one value and is inherited like the property",
       "<svg><text display=\"inline; visibility:hidden\">x</text><text visibility=\"hidden "
       "!important\" style=\"visibility:visible\">y</text><g visibility=\"hidden\"><text>z</text>"
       "<text visibility=\"visible\">w</text></g></svg>",
       "x\ny\nw"},
      {"float and position do not apply inside an image",
       "<div>a <svg><text style=\"float:left\">fl</text><text style=\"position:absolute\">ab</text>"
       "</svg> b</div>",
       "a \nfl\nab\n b"},
      {"empty images and empty text elements",
       "<p>p1 <svg width=10><rect/></svg> p2</p><p>q1<svg><text></text></svg>q2</p><p>r1 <svg>"
       "<text> </text></svg> r2</p>",
       "p1  p2\n\nq1\nq2\n\nr1 \n r2"},
  });
}

TEST(HtmlInnerText, StyleSheets) {
  ExpectCases({
      {"class, id, type",
       "<style>.h{display:none} #i{display:none} em{display:none}</style>"
       "<b class=h>1</b><b id=i>2</b><em>3</em>4",
       "4"},
      {"descendant and child",
       "<style>div b{display:none} p>i{display:none}</style>"
       "<div><span><b>1</b></span></div><p><span><i>2</i></span><i>3</i></p>",
       "2"},
      {"later siblings and ancestors, remembered across elements",
       "<style>.a~.b{display:none} .p .c{display:none}</style><i class=b>1</i><i class=a></i>"
       "<i class=b>2</i><i class=b>3</i><i class=c>4</i><div><i class=c>5</i></div>"
       "<div class=p><div><i class=c>6</i></div></div><i class=c>7</i>",
       "14\n5\n7"},
      {"siblings",
       "<style>.a+b{display:none} .a~i{display:none}</style><b class=a>1</b><b>2</b><i>3</i>", "1"},
      {"attributes",
       "<style>[data-x]{display:none} a[href*=track]{display:none}</style>"
       "<b data-x>1</b><a href='//track/'>2</a><a href='//ok/'>3</a>",
       "3"},
      {"not", "<style>b:not(.k){display:none}</style><b>1</b><b class=k>2</b>", "2"},
      {"specificity beats order", "<style>#i{display:inline} b{display:none}</style><b id=i>1</b>",
       "1"},
      {"later rule wins a tie",
       "<style>.a{display:none} .b{display:inline}</style><b class='a b'>1</b>", "1"},
      {"inline beats a sheet",
       "<style>#i{display:none}</style><b id=i style='display:inline'>1</b>", "1"},
      {"important beats inline",
       "<style>b{display:none!important}</style><b style='display:inline'>1</b>2", "2"},
      {"invalid value ignored", "<b style='display:none;display:nonsense'>1</b>", ""},
      {"invalid selector drops the rule", "<style>b, :unknown{display:none}</style><b>1</b>", "1"},
      {"media at 1280 x 800",
       "<style>@media (max-width:600px){.m{display:none}} @media screen and "
       "(min-width:1000px){.d{display:none}}"
       "@media print{.m{display:none}}</style><b class=m>1</b><b class=d>2</b>",
       "1"},
      {"style element with a media attribute", "<style media=print>b{display:none}</style><b>1</b>",
       "1"},
      {"quirks mode: classes without case", "<style>.ABC{display:none}</style><b class=abc>1</b>2",
       "2"},
      {"standards mode: classes with case",
       "<!doctype html><style>.ABC{display:none}</style><b class=abc>1</b>", "1"},
  });
}

// Text after the last element and in odd places still comes out; nothing crashes.
TEST(HtmlInnerText, AnswersForAnyInput) {
  EXPECT_EQ(html::HtmlInnerText(""), std::optional<std::string>(""));
  EXPECT_EQ(html::HtmlInnerText("plain text"), std::optional<std::string>("plain text"));
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  std::optional<std::string> text = html::HtmlInnerText(bytes);
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find("\xEF\xBF\xBD"), std::string::npos);  // invalid bytes became U+FFFD
  EXPECT_NE(text->find("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos);
}

// Deep nesting: the tree is capped, its text kept, and the root's display:none answers its text.
TEST(HtmlInnerText, DeepNestingKeepsText) {
  std::string html;
  for (int i = 0; i < 20000; ++i) html += "<div><b>";
  html += "deep";
  std::optional<std::string> text = html::HtmlInnerText(html);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, "deep");

  std::string table;
  for (int i = 0; i < 5000; ++i) table += "<table><tr><td>";
  table += "cell";
  text = html::HtmlInnerText(table);
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find("cell"), std::string::npos);
}

TEST(HtmlInnerText, HiddenRootAnswersAllText) {
  EXPECT_EQ(html::HtmlInnerText("<html style='display:none'><body>a<script>b</script></body></html>"),
            std::optional<std::string>("ab"));
}

TEST(PrepareHtml, KeepsShallowDocumentsByteForByte) {
  const char* pages[] = {
      "<p>one<p>two<div>three</div>",
      "<table><tr><td>a<td>b<tr><td>c</table>",
      "<script>if (a < b && c > d) { x = '<div><div><div>'; }</script><div>x</div>",
      "<!-- <div><div><div> --><a title='>'>t</a>",
  };
  for (const char* page : pages) EXPECT_EQ(html::PrepareHtml(page, 3), page) << page;
}

TEST(PrepareHtml, DropsTagsBeyondTheCapWithTheirEndTags) {
  EXPECT_EQ(html::PrepareHtml("<div><b><i>x</i></b></div>", 2), "<div><b>x</b></div>");
  EXPECT_EQ(html::PrepareHtml("<div><div><div>x</div></div></div><div>y</div>", 2),
            "<div><div>x</div></div><div>y</div>");
  // Raw-text elements are never dropped: their content must stay out of the text.
  EXPECT_EQ(html::PrepareHtml("<b><i><script>s</script></i></b>", 1), "<b><script>s</script></b>");
}

TEST(PrepareHtml, EndTagsCloseWhatTheyEnclose) {
  // Many unclosed <font> and self-closed SVG shapes must not push the rest of the page past the
  // cap.
  std::string page;
  for (int i = 0; i < 100; ++i) page += "<div><font size=2>x";
  for (int i = 0; i < 100; ++i) page += "</div>";
  page += "<svg>";
  for (int i = 0; i < 100; ++i) page += "<path d='M0 0'/>";
  page += "</svg><div><b>end</b></div>";
  std::string prepared = html::PrepareHtml(page, 8);
  EXPECT_LT(prepared.size(), page.size());  // the deep part was cut
  std::string tail = page.substr(page.find("<svg>"));
  ASSERT_GE(prepared.size(), tail.size());
  EXPECT_EQ(prepared.substr(prepared.size() - tail.size()), tail);
}

TEST(PrepareHtml, WritesControlCharactersOfTextAsReferences) {
  EXPECT_EQ(html::PrepareHtml("a\x01<b title='\x02'>\x0b\x1b[0m\x7f</b><script>\x03</script>\x1f"),
            "a&#1;<b title='\x02'>&#11;&#27;[0m&#127;</b><script>\x03</script>&#31;");
  // C1 controls travel as private-use carriers, unless the page holds such code points itself.
  EXPECT_EQ(html::PrepareHtml("<i>\xC2\x85</i>\xC2\x9F\xC2\xA0"),
            "<i>\xF4\x8F\xBE\x85</i>\xF4\x8F\xBE\x9F\xC2\xA0");
  EXPECT_EQ(html::PrepareHtml("\xC2\x85\xF4\x8F\xBE\x85"), "\xC2\x85\xF4\x8F\xBE\x85");
  // TAB, LF, FF, CR stay bytes; NUL is the parser's business.
  EXPECT_EQ(html::PrepareHtml(std::string("\t\n\f\r\0x", 6)), std::string("\t\n\f\r\0x", 6));
}

// Parsed with scripting off, <noscript> holds markup: kept, and counted for the depth.
TEST(PrepareHtml, NoscriptIsMarkup) {
  EXPECT_EQ(html::PrepareHtml("<head><NoScript><link rel=x>text</noscript></head>a"),
            "<head><NoScript><link rel=x>text</noscript></head>a");
  EXPECT_EQ(html::PrepareHtml("<noscript><b><i>x</i></b></noscript>", 2),
            "<noscript><b>x</b></noscript>");
}

// The budget is asked every kHtmlBudgetStep steps; the conversion ends with what it has once the
// budget answers true.
TEST(HtmlInnerText, BudgetEndsTheConversionWithWhatItHas) {
  std::string page = "<style>.h{display:none}</style>";
  for (int i = 0; i < 3000; ++i) page += "<p class=h>hidden</p><div>line " + std::to_string(i) + "</div>";
  const std::string full = *html::HtmlInnerText(page);
  ASSERT_EQ(full.find("hidden"), std::string::npos);

  struct BudgetCase {
    const char* name;
    int expires_at;  // the call of `expired` that first answers true; 0: never
    bool styled;     // all rules applied: the cut, if any, came while collecting the text
  };
  int calls = 0;
  HtmlBudget counting{[&] { return ++calls < 0; }};
  ASSERT_FALSE(html::HtmlInnerText(page, counting)->cut_short);
  ASSERT_GT(calls, 10);  // asked while styling and while collecting
  const BudgetCase cases[] = {
      {"never", 0, true},
      {"while styling", 2, false},
      {"while collecting the text", calls - 2, true},  // the last calls come from collecting
  };
  for (const BudgetCase& c : cases) {
    int call = 0;
    HtmlBudget budget{[&] { return ++call == c.expires_at || (c.expires_at > 0 && call > c.expires_at); }};
    std::optional<HtmlText> text = html::HtmlInnerText(page, budget);
    ASSERT_TRUE(text.has_value()) << c.name;
    EXPECT_EQ(text->cut_short, c.expires_at != 0) << c.name;
    if (c.expires_at == 0) {
      EXPECT_EQ(text->text, full) << c.name;
    } else if (c.styled) {
      // The text so far: a beginning of the full text.
      EXPECT_LT(text->text.size(), full.size()) << c.name;
      EXPECT_EQ(full.substr(0, text->text.size()), text->text) << c.name;
    } else {
      // Elements not yet styled keep the default style; all their text is collected.
      EXPECT_NE(text->text.find("hidden"), std::string::npos) << c.name;
      EXPECT_NE(text->text.find("line 2999"), std::string::npos) << c.name;
    }
  }
}

using droprelay::testing::ReadFile;

TEST(HtmlInnerText, MatchesTheBrowserOnGoldenPages) {
  std::filesystem::path dir = std::filesystem::path(DROPRELAY_TEST_DATA) / "html";
  int pages = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".html") continue;
    std::filesystem::path golden = entry.path();
    golden.replace_extension(".txt");
    ASSERT_TRUE(std::filesystem::exists(golden)) << golden;
    std::optional<std::string> text = html::HtmlInnerText(ReadFile(entry.path()));
    ASSERT_TRUE(text.has_value()) << entry.path();
    EXPECT_EQ(*text, ReadFile(golden)) << entry.path().filename();
    ++pages;
  }
  EXPECT_GE(pages, 7);
}

}  // namespace
}  // namespace droprelay::html
