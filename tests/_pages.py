"""The documentation pages as the service must send them."""

REDOC_PAGE = """
<!DOCTYPE html>
<html>
<head>
    <title>Kelvora Restful API 文档</title>
    <!-- 使用本地字体或系统字体 -->
    <style>
        body {
            font-family: -apple-system, BlinkMacSystemFont, 'Segoe UI', Roboto, Oxygen, Ubuntu, Cantarell, sans-serif;
            margin: 0;
            padding: 0;
        }
        .hqgvLZ {
            width: 20% !important;
            top:0 !important;
        }
        .api-info {
            display: none !important;
        }
        .hutltu{
            padding: 0 40px !important;
        }
        .chOOHy{
            padding: 10px 0 0 0 !important;
        }
        .kzhJjR{
            padding: 20px 0 !important;
        }
@@EIGHT@@
    </style>
    <meta charset="utf-8"/>
    <meta name="viewport" content="width=device-width, initial-scale=1">
    <link rel="icon" type="image/png" href="/static/favicon.png">
</head>
<body>
    <div id="redoc-container"></div>
    <script src="/static/redoc.standalone.js"></script>
    <script>
        Redoc.init(
            '/openapi.json',
            {
                scrollYOffset: 50,
                hideDownloadButton: false,
                expandResponses: "200,201",
                pathInMiddlePanel: true
            },
            document.getElementById('redoc-container')
        );
    </script>
</body>
</html>
    """.replace("@@EIGHT@@", " " * 8)  # that line is eight spaces: spelled out so no editor trims it
