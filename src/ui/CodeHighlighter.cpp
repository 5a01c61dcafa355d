#include "CodeHighlighter.h"

#include <QHash>
#include <QRegularExpression>
#include <QTextBlock>

namespace Kelvane {

namespace {

struct Rules {
    QRegularExpression keywords;
    QString lineComment; // "//", "#" or "--"
    bool blockComments;  // /* … */
};

QRegularExpression words(const char *list) {
    return QRegularExpression(QStringLiteral("\\b(?:%1)\\b").arg(QString::fromLatin1(list)),
                              QRegularExpression::UseUnicodePropertiesOption);
}

const QHash<QString, Rules> &rules() {
    static const QHash<QString, Rules> table{
        {QStringLiteral("cpp"),
         {words("auto|bool|break|case|catch|char|class|const|constexpr|continue|default|delete|"
                "do|double|else|enum|explicit|false|float|for|if|include|inline|int|long|"
                "namespace|new|nullptr|override|private|protected|public|return|static|struct|"
                "switch|template|this|throw|true|try|typename|using|virtual|void|while"),
          "//", true}},
        {QStringLiteral("java"),
         {words("abstract|boolean|break|case|catch|char|class|else|enum|extends|final|finally|"
                "for|if|implements|import|int|interface|long|new|null|package|private|"
                "protected|public|return|static|super|switch|synchronized|this|throw|throws|"
                "try|void|volatile|while|true|false|var"),
          "//", true}},
        {QStringLiteral("python"),
         {words("and|as|async|await|break|class|continue|def|elif|else|except|False|finally|for|"
                "from|if|import|in|is|lambda|None|not|or|pass|raise|return|True|try|while|"
                "with|yield|self"),
          "#", false}},
        {QStringLiteral("go"),
         {words("break|case|chan|const|continue|default|defer|else|false|for|func|go|if|import|"
                "interface|map|nil|package|range|return|select|struct|switch|true|type|var"),
          "//", true}},
        {QStringLiteral("javascript"),
         {words("async|await|break|case|catch|class|const|continue|default|else|export|extends|"
                "false|for|function|if|import|interface|let|new|null|return|switch|this|throw|"
                "true|try|type|typeof|undefined|var|while|yield"),
          "//", true}},
        {QStringLiteral("sql"),
         {QRegularExpression(
              QStringLiteral("\\b(?:select|from|where|join|left|right|inner|outer|on|group|"
                             "by|order|having|insert|into|values|update|set|delete|create|"
                             "table|index|primary|key|and|or|not|null|as|limit|distinct|"
                             "count|union|all|begin|commit|rollback)\\b"),
              QRegularExpression::CaseInsensitiveOption),
          "--", true}},
        {QStringLiteral("shell"),
         {words("if|then|else|elif|fi|for|in|do|done|while|case|esac|function|return|export|"
                "local|echo|cd|sudo"),
          "#", false}},
    };
    return table;
}

const QRegularExpression &strings() {
    static const QRegularExpression expression(
        QStringLiteral(R"("(?:[^"\\]|\\.)*"|'(?:[^'\\]|\\.)*'|`[^`]*`)"));
    return expression;
}

const QRegularExpression &numbers() {
    static const QRegularExpression expression(QStringLiteral("\\b\\d+(?:\\.\\d+)?\\b"));
    return expression;
}

enum State { Plain = 0, InBlockComment = 1 };

} // namespace

CodeHighlighter::CodeHighlighter(QTextDocument *document)
    : QSyntaxHighlighter(document) {}

void CodeHighlighter::setColours(const Colours &colours) {
    keyword.setForeground(colours.keyword);
    keyword.setFontWeight(QFont::DemiBold);
    string.setForeground(colours.string);
    comment.setForeground(colours.comment);
    comment.setFontItalic(true);
    number.setForeground(colours.number);
    rehighlight();
}

QString CodeHighlighter::language(const QString &fence) {
    static const QHash<QString, QString> names{{"c++", "cpp"},
                                               {"cpp", "cpp"},
                                               {"c", "cpp"},
                                               {"cc", "cpp"},
                                               {"h", "cpp"},
                                               {"hpp", "cpp"},
                                               {"java", "java"},
                                               {"kotlin", "java"},
                                               {"python", "python"},
                                               {"py", "python"},
                                               {"go", "go"},
                                               {"golang", "go"},
                                               {"javascript", "javascript"},
                                               {"js", "javascript"},
                                               {"typescript", "javascript"},
                                               {"ts", "javascript"},
                                               {"jsx", "javascript"},
                                               {"tsx", "javascript"},
                                               {"sql", "sql"},
                                               {"mysql", "sql"},
                                               {"postgresql", "sql"},
                                               {"bash", "shell"},
                                               {"sh", "shell"},
                                               {"shell", "shell"},
                                               {"zsh", "shell"},
                                               {"console", "shell"}};
    return names.value(fence.trimmed().toLower());
}

void CodeHighlighter::highlightBlock(const QString &text) {
    setCurrentBlockState(Plain);
    const QTextBlockFormat block = currentBlock().blockFormat();
    if (!block.hasProperty(QTextFormat::BlockCodeFence))
        return;
    const auto found =
        rules().constFind(language(block.stringProperty(QTextFormat::BlockCodeLanguage)));
    if (found == rules().constEnd())
        return;
    const Rules &rule = *found;
    for (auto it = rule.keywords.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        setFormat(int(match.capturedStart()), int(match.capturedLength()), keyword);
    }
    for (auto it = numbers().globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        setFormat(int(match.capturedStart()), int(match.capturedLength()), number);
    }
    // Strings and comments last: a keyword inside them is no keyword.
    qsizetype commentFrom = -1;
    for (auto it = strings().globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        const qsizetype lineComment = text.indexOf(rule.lineComment);
        if (lineComment >= 0 && lineComment < match.capturedStart())
            break;
        setFormat(int(match.capturedStart()), int(match.capturedLength()), string);
        commentFrom = match.capturedEnd();
    }
    const qsizetype lineComment =
        text.indexOf(rule.lineComment, std::max<qsizetype>(0, commentFrom));
    if (lineComment >= 0)
        setFormat(int(lineComment), int(text.size() - lineComment), comment);
    if (!rule.blockComments)
        return;
    bool inside = previousBlockState() == InBlockComment;
    qsizetype at = 0;
    while (true) {
        qsizetype searchFrom = at;
        if (!inside) {
            at = text.indexOf(QStringLiteral("/*"), at);
            if (at < 0)
                return;
            inside = true;
            searchFrom = at + 2;
        }
        const qsizetype end = text.indexOf(QStringLiteral("*/"), searchFrom);
        const qsizetype stop = end < 0 ? text.size() : end + 2;
        setFormat(int(at), int(stop - at), comment);
        if (end < 0) {
            setCurrentBlockState(InBlockComment);
            return;
        }
        inside = false;
        at = stop;
    }
}

} // namespace Kelvane
