<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="zh_CN">
<context>
    <name>Root</name>
    <message>
        <source>截图</source>
        <translation>Screenshots</translation>
    </message>
    <message>
        <source>截图保存后自动套壳，并可叠加水印。</source>
        <translation>Each saved screenshot is framed in a shell, with an optional watermark.</translation>
    </message>
    <message>
        <source>截图套壳</source>
        <translation>Frame screenshots</translation>
    </message>
    <message>
        <source>截图水印</source>
        <translation>Watermark screenshots</translation>
    </message>
    <message>
        <source>录屏</source>
        <translation>Screen recordings</translation>
    </message>
    <message>
        <source>录屏结束后以 30 帧重新编码并套壳。</source>
        <translation>Each finished recording is re-encoded at 30 frames per second in a shell.</translation>
    </message>
    <message>
        <source>录屏套壳</source>
        <translation>Frame recordings</translation>
    </message>
    <message>
        <source>录屏水印</source>
        <translation>Watermark recordings</translation>
    </message>
    <message>
        <source>素材</source>
        <translation>Assets</translation>
    </message>
    <message>
        <source>套壳素材</source>
        <translation>Shell</translation>
    </message>
    <message>
        <source>随机套壳</source>
        <translation>Random shell</translation>
    </message>
    <message>
        <source>水印素材</source>
        <translation>Watermark</translation>
    </message>
    <message>
        <source>随机水印</source>
        <translation>Random watermark</translation>
    </message>
    <message>
        <source>水印</source>
        <translation>Watermark</translation>
    </message>
    <message>
        <source>不透明度</source>
        <translation>Opacity</translation>
    </message>
    <message>
        <source>水印范围</source>
        <translation>Watermark area</translation>
    </message>
    <message>
        <source>满铺画布</source>
        <translation>Whole canvas</translation>
    </message>
    <message>
        <source>画面区域</source>
        <translation>Screen area</translation>
    </message>
    <message>
        <source>混合模式</source>
        <translation>Blend mode</translation>
    </message>
    <message>
        <source>正常</source>
        <translation>Normal</translation>
    </message>
    <message>
        <source>滤色</source>
        <translation>Screen</translation>
    </message>
    <message>
        <source>叠加</source>
        <translation>Overlay</translation>
    </message>
    <message>
        <source>柔光</source>
        <translation>Soft light</translation>
    </message>
    <message>
        <source>高斯模糊</source>
        <translation>Gaussian blur</translation>
    </message>
    <message>
        <source>完成后</source>
        <translation>When done</translation>
    </message>
    <message>
        <source>完成提示音</source>
        <translation>Sound when done</translation>
    </message>
    <message>
        <source>删除原图</source>
        <translation>Delete the original</translation>
    </message>
    <message>
        <source>保存到剪贴板</source>
        <translation>Save to clipboard</translation>
    </message>
    <message>
        <source>帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>素材放在 ~/Ozrin 下的 套壳素材、横屏素材 与 水印素材 文件夹中。</source>
        <translation>Assets live in ~/Ozrin, in the folders 套壳素材 (shells), 横屏素材 (landscape shells) and 水印素材 (watermarks).</translation>
    </message>
    <message>
        <source>打开素材文件夹</source>
        <translation>Open the asset folder</translation>
    </message>
    <message>
        <source>使用说明</source>
        <translation>How to use</translation>
    </message>
    <message>
        <source>项目主页</source>
        <translation>Project page</translation>
    </message>
    <message>
        <source>频道</source>
        <translation>Channel</translation>
    </message>
    <message>
        <source>交流群</source>
        <translation>Chat group</translation>
    </message>
    <message>
        <source>无可用素材</source>
        <translation>No assets</translation>
    </message>
</context>
<context>
    <name>Settings</name>
    <message>
        <source>无法保存设置</source>
        <translation>Cannot save the setting</translation>
    </message>
    <message>
        <source>设置未能写入偏好设置文件：%1</source>
        <translation>The setting could not be written to the preferences file: %1</translation>
    </message>
    <message>
        <source>好的</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>无法打开链接</source>
        <translation>Cannot open the link</translation>
    </message>
    <message>
        <source>请检查网络连接或尝试手动打开。</source>
        <translation>Check the network connection or open it by hand.</translation>
    </message>
    <message>
        <source>无法打开QQ</source>
        <translation>Cannot open the chat group</translation>
    </message>
    <message>
        <source>请确认已安装QQ客户端。</source>
        <translation>Make sure a program that opens the group's address is installed.</translation>
    </message>
    <message>
        <source>无法打开文件管理器</source>
        <translation>Cannot open the file manager</translation>
    </message>
    <message>
        <source>请确认已安装文件管理器，或手动前往 %1 查看素材</source>
        <translation>Make sure a file manager is installed, or go to %1 by hand to see the assets</translation>
    </message>
    <message>
        <source>📖 使用说明</source>
        <translation>📖 How to use</translation>
    </message>
    <message>
        <source>我知道了</source>
        <translation>Got it</translation>
    </message>
    <message>
        <source>📂 素材路径说明：</source>
        <translation>📂 Where the assets go:</translation>
    </message>
    <message>
        <source>1. 套壳素材：/var/mobile/Ozrin/套壳素材/</source>
        <translation>1. 套壳素材 (shells): /var/mobile/Ozrin/套壳素材/</translation>
    </message>
    <message>
        <source>   - 需包含 .png 图片和同名的 .cfg 配置文件。</source>
        <translation>   - PNG images, each with a .cfg template of the same name.</translation>
    </message>
    <message>
        <source>2. 横屏素材：/var/mobile/Ozrin/横屏素材/</source>
        <translation>2. 横屏素材 (landscape shells): /var/mobile/Ozrin/横屏素材/</translation>
    </message>
    <message>
        <source>   - 专门用于存放横屏截图/视频的专属套壳。</source>
        <translation>   - Shells used only for landscape screenshots and recordings.</translation>
    </message>
    <message>
        <source>3. 水印素材：/var/mobile/Ozrin/水印素材/</source>
        <translation>3. 水印素材 (watermarks): /var/mobile/Ozrin/水印素材/</translation>
    </message>
    <message>
        <source>   - 支持 .png, .jpg, .jpeg 格式。</source>
        <translation>   - .png, .jpg and .jpeg images.
The three folder names are Chinese and stay so: the programs look for them by these names.</translation>
    </message>
    <message>
        <source>🎬 使用方式：</source>
        <translation>🎬 How it works:</translation>
    </message>
    <message>
        <source>• 开启开关后，正常使用截图或录屏，效果将自动应用。</source>
        <translation>• With the switches on, take screenshots or record the screen as usual; the frame is applied by itself.</translation>
    </message>
    <message>
        <source>• 🔄 横屏支持：若检测到横屏内容，优先使用“横屏素材”文件夹中的素材；若该目录为空，则不应用套壳。建议为常用模型准备 16:9 的专属 PNG+CFG。</source>
        <translation>• 🔄 Landscape: landscape content takes the shells of the “横屏素材” folder first; when that folder is empty, no shell is applied. Prepare 16:9 PNG+CFG shells for the screens you use.</translation>
    </message>
    <message>
        <source>• 满铺画布：水印相对于整张套壳后的画布居中。</source>
        <translation>• Whole canvas: the watermark is centred on the whole framed canvas.</translation>
    </message>
    <message>
        <source>• 画面区域：水印仅相对于视频/截图内容区域居中。</source>
        <translation>• Screen area: the watermark is centred on the picture or video area only.</translation>
    </message>
    <message>
        <source>💡 提示：</source>
        <translation>💡 Tips:</translation>
    </message>
    <message>
        <source>• 若开启“保存到剪贴板”，截图处理后将直接进入剪贴板（不再重复保存到相册原图）。</source>
        <translation>• With “Save to clipboard” on, a framed screenshot goes straight to the clipboard (no second copy is saved beside the original).</translation>
    </message>
    <message>
        <source>• 若采用手势截图，请使用系统截图。</source>
        <translation>• If you take screenshots with a gesture, use the system's screenshot.</translation>
    </message>
    <message>
        <source>• 若修改设置后未生效，请尝试重新截图或开启/关闭一次功能开关。</source>
        <translation>• If a change seems to have no effect, take the screenshot again or switch the feature off and on once.</translation>
    </message>
</context>
<context>
    <name>Picker</name>
    <message>
        <source>选择素材</source>
        <translation>Choose an asset</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>完成</source>
        <translation>Done</translation>
    </message>
</context>
<context>
    <name>Notifications</name>
    <message>
        <source>录屏已套壳</source>
        <translation>Recording framed</translation>
    </message>
    <message>
        <source>截图已套壳</source>
        <translation>Screenshot framed</translation>
    </message>
    <message>
        <source>已保存到 %1</source>
        <translation>Saved as %1</translation>
    </message>
    <message>
        <source>已复制到剪贴板。</source>
        <translation>Copied to the clipboard.</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>在文件夹中显示</source>
        <translation>Show in folder</translation>
    </message>
    <message>
        <source>录屏未能保存</source>
        <translation>Recording not saved</translation>
    </message>
    <message>
        <source>截图未能保存</source>
        <translation>Screenshot not saved</translation>
    </message>
    <message>
        <source>磁盘空间不足，套壳后的结果没有保存。</source>
        <translation>The disk is full: the framed result was not saved.</translation>
    </message>
    <message>
        <source>套壳后的结果没有保存。</source>
        <translation>The framed result was not saved.</translation>
    </message>
    <message>
        <source>录屏导出失败</source>
        <translation>Recording export failed</translation>
    </message>
    <message>
        <source>录屏未能重新编码，没有生成套壳后的视频。</source>
        <translation>The recording could not be re-encoded: no framed movie was made.</translation>
    </message>
    <message>
        <source>无法使用剪贴板</source>
        <translation>Clipboard not available</translation>
    </message>
    <message>
        <source>此桌面不允许后台程序设置剪贴板，结果已保存为文件。</source>
        <translation>This desktop does not let a background program set the clipboard: the result was saved as a file.</translation>
    </message>
    <message>
        <source>原图未被改动。</source>
        <translation>The original is untouched.</translation>
    </message>
</context>
</TS>
